#pragma once

#include "agent/LiveStateFile.h"
#include "platform/MainQueue.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace vemlo {

// The agent's side of the live state file. The file is a mirror for other programs, and rewriting
// it costs far more than answering a request, so changes are gathered and written together
// kDelay after the first, each with the time it happened: a burst of requests or status frames
// costs one write. Runs on the main queue; what is still gathered is written when it goes away.
class LiveStateWriter {
public:
    static constexpr MainQueue::Duration kDelay = std::chrono::milliseconds(20);

    LiveStateWriter(MainQueue& queue, std::string homeDirectory);
    ~LiveStateWriter();
    LiveStateWriter(const LiveStateWriter&) = delete;
    LiveStateWriter& operator=(const LiveStateWriter&) = delete;

    // A present value sets its key, an absent one leaves it.
    void write(std::optional<uint8_t> stateValue, std::optional<uint8_t> lightMode, std::optional<uint8_t> switchState,
               std::optional<uint8_t> workMode);
    // Drops the lever from the file at once (after what is still gathered).
    void clearSwitchState();
    // Writes what is gathered now.
    void flush();

private:
    MainQueue& queue_;
    const std::string home_;
    std::optional<livestate::Update> pending_;
    std::shared_ptr<Cancellable> timer_;
};

}  // namespace vemlo
