#pragma once

#include "platform/MainQueue.h"

#include <deque>
#include <map>
#include <mutex>

namespace vemlo::test {

// A main queue on virtual time: `advance` moves the clock and runs every timer that falls due on the
// way, in deadline order (ties in scheduling order), with whatever that work posts.
class ManualMainQueue final : public MainQueue {
public:
    void post(Task task) override {
        std::lock_guard lock(mutex_);  // post() may be called from other threads
        posted_.push_back(std::move(task));
    }
    std::shared_ptr<Cancellable> runAfter(Duration delay, Task task) override {
        return repeat(delay, Duration::zero(), std::move(task));
    }
    std::shared_ptr<Cancellable> repeat(Duration first, Duration period, Task task) override {
        auto timer = std::make_shared<Timer>(period, std::move(task));
        std::lock_guard lock(mutex_);
        timers_.emplace(std::make_pair(now_ + first, nextSeq_++), timer);
        return timer;
    }
    TimePoint now() const override { return now_; }

    void runPending() {
        for (std::unique_lock lock(mutex_); !posted_.empty(); lock.lock()) {
            Task task = std::move(posted_.front());
            posted_.pop_front();
            lock.unlock();
            task();
        }
    }
    void advance(Duration d) {
        const TimePoint end = now_ + d;
        for (runPending();; runPending()) {
            std::unique_lock lock(mutex_);
            auto it = timers_.begin();
            if (it == timers_.end() || it->first.first > end) break;
            now_ = it->first.first;
            auto timer = it->second;
            timers_.erase(it);
            if (timer->cancelled) continue;
            if (timer->period.count() > 0) timers_.emplace(std::make_pair(now_ + timer->period, nextSeq_++), timer);
            lock.unlock();
            timer->task();
        }
        now_ = end;
        runPending();
    }

private:
    struct Timer final : Cancellable {
        Timer(Duration p, Task t) : period(p), task(std::move(t)) {}
        void cancel() override { cancelled = true; }
        Duration period;
        Task task;
        bool cancelled = false;
    };
    mutable std::mutex mutex_;
    std::deque<Task> posted_;
    TimePoint now_{};
    uint64_t nextSeq_ = 0;
    std::map<std::pair<TimePoint, uint64_t>, std::shared_ptr<Timer>> timers_;
};

}  // namespace vemlo::test
