#pragma once

#include "platform/MainQueue.h"

#include <deque>
#include <map>
#include <mutex>

namespace vemlo::test {

// A main queue on virtual time. Nothing runs until the test says so: `runPending` runs posted
// work, `advance` moves the clock and runs every timer that falls due on the way, in deadline
// order (ties in scheduling order), together with whatever that work posts.
class ManualMainQueue final : public MainQueue {
public:
    void post(Task task) override;
    std::shared_ptr<Cancellable> runAfter(Duration delay, Task task) override {
        return schedule(delay, Duration::zero(), std::move(task));
    }
    std::shared_ptr<Cancellable> repeat(Duration first, Duration period, Task task) override {
        return schedule(first, period, std::move(task));
    }
    TimePoint now() const override { return now_; }

    // Runs posted work until none is left; returns how many tasks ran.
    size_t runPending();
    void advance(Duration d);
    // Scheduled timers that are neither cancelled nor finished.
    size_t timerCount() const;

private:
    struct Timer;
    std::shared_ptr<Cancellable> schedule(Duration first, Duration period, Task task);

    mutable std::mutex mutex_;  // post() may be called from other threads
    std::deque<Task> posted_;
    TimePoint now_{};
    uint64_t nextSeq_ = 0;
    std::map<std::pair<TimePoint, uint64_t>, std::shared_ptr<Timer>> timers_;
};

}  // namespace vemlo::test
