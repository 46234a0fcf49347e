#pragma once

#include "platform/MainQueue.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace vemlo {

// An assistant can go away without its Stop hook (it crashed, it was closed), and the LED would
// show activity for ever. The watchdog sends Stop when the keyboard still shows an activity state
// and no hook has set a state for a while. Runs on the main queue; its timer dies with it.
class Watchdog {
public:
    struct Link {
        std::function<uint8_t()> lastSentState;  // the state the keyboard last received
        std::function<void(uint8_t)> sendState;
        std::function<void(const std::string&)> log;
    };

    static constexpr MainQueue::Duration kFirstCheck = seconds(30);
    static constexpr MainQueue::Duration kCheckPeriod = seconds(10);

    Watchdog(MainQueue& queue, Link link);
    ~Watchdog();
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

    // Checks kFirstCheck from now, then every kCheckPeriod.
    void start();
    // A hook set an LED state: idle time counts from now.
    void hookSetState();
    // One check; once it has sent Stop it stays quiet until the next hookSetState.
    void check();

private:
    MainQueue& queue_;
    Link link_;
    std::optional<MainQueue::TimePoint> lastHookStateAt_;
    std::shared_ptr<Cancellable> timer_;
};

}  // namespace vemlo
