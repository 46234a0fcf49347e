#pragma once

#include "agent/DeviceFrames.h"
#include "platform/MainQueue.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace vemlo {

// What waiters get when the keyboard stays silent: only the cached lever and light mode are known
// (an unknown light mode reads 0, every other field -1). Absent when no lever is cached.
std::optional<AgentDeviceStatus> cacheBuiltStatus(std::optional<uint8_t> lever, std::optional<uint8_t> lightMode);

// Callers waiting for the keyboard's next status frame. The keyboard's answers carry no request
// identifier, so one answer goes to everybody waiting, in the order they came. Each waiter also
// brings a time-out; the first one to come due answers everybody waiting at that moment with what
// `timeoutAnswer` gives then. Runs on the main queue; its timer dies with it.
class LeverQuery {
public:
    using Completion = std::function<void(std::optional<AgentDeviceStatus>)>;

    LeverQuery(MainQueue& queue, std::function<std::optional<AgentDeviceStatus>()> timeoutAnswer);
    ~LeverQuery();
    LeverQuery(const LeverQuery&) = delete;
    LeverQuery& operator=(const LeverQuery&) = delete;

    void wait(MainQueue::Duration timeout, Completion completion);
    bool waiting() const { return !waiters_.empty(); }
    // Answers every waiter. The list is emptied first, so a waiter may start a new query.
    void answer(const std::optional<AgentDeviceStatus>& status);

private:
    void armTimer();
    void onDeadline();

    MainQueue& queue_;
    std::function<std::optional<AgentDeviceStatus>()> timeoutAnswer_;
    std::vector<Completion> waiters_;
    std::deque<MainQueue::TimePoint> deadlines_;  // sorted
    std::shared_ptr<Cancellable> timer_;
    MainQueue::TimePoint timerAt_{};
};

}  // namespace vemlo
