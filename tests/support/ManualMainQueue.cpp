#include "support/ManualMainQueue.h"

namespace vemlo::test {

struct ManualMainQueue::Timer final : Cancellable {
    Duration period{};
    Task task;
    bool cancelled = false;
    void cancel() override { cancelled = true; }
};

void ManualMainQueue::post(Task task) {
    std::lock_guard lock(mutex_);
    posted_.push_back(std::move(task));
}

std::shared_ptr<Cancellable> ManualMainQueue::schedule(Duration first, Duration period, Task task) {
    auto timer = std::make_shared<Timer>();
    timer->period = period;
    timer->task = std::move(task);
    std::lock_guard lock(mutex_);
    timers_.emplace(std::make_pair(now_ + first, nextSeq_++), timer);
    return timer;
}

size_t ManualMainQueue::runPending() {
    for (size_t ran = 0;; ++ran) {
        Task task;
        {
            std::lock_guard lock(mutex_);
            if (posted_.empty()) return ran;
            task = std::move(posted_.front());
            posted_.pop_front();
        }
        task();
    }
}

void ManualMainQueue::advance(Duration d) {
    const TimePoint end = now_ + d;
    for (runPending();; runPending()) {
        std::shared_ptr<Timer> timer;
        {
            std::lock_guard lock(mutex_);
            auto it = timers_.begin();
            if (it == timers_.end() || it->first.first > end) break;
            now_ = it->first.first;
            timer = it->second;
            timers_.erase(it);
            if (timer->cancelled) continue;
            if (timer->period.count() > 0) timers_.emplace(std::make_pair(now_ + timer->period, nextSeq_++), timer);
        }
        timer->task();
    }
    now_ = end;
    runPending();
}

size_t ManualMainQueue::timerCount() const {
    std::lock_guard lock(mutex_);
    size_t n = 0;
    for (const auto& [key, timer] : timers_) n += timer->cancelled ? 0 : 1;
    return n;
}

}  // namespace vemlo::test
