#include "agent/LeverQuery.h"

#include <algorithm>

namespace vemlo {

std::optional<AgentDeviceStatus> cacheBuiltStatus(std::optional<uint8_t> lever, std::optional<uint8_t> lightMode) {
    if (!lever) return std::nullopt;
    return AgentDeviceStatus{-1, -1, -1, -1, -1, lightMode.value_or(0), *lever};
}

LeverQuery::LeverQuery(MainQueue& queue, std::function<std::optional<AgentDeviceStatus>()> timeoutAnswer)
    : queue_(queue), timeoutAnswer_(std::move(timeoutAnswer)) {}

LeverQuery::~LeverQuery() {
    if (timer_) timer_->cancel();
}

void LeverQuery::wait(MainQueue::Duration timeout, Completion completion) {
    waiters_.push_back(std::move(completion));
    const auto deadline = queue_.now() + timeout;
    deadlines_.insert(std::upper_bound(deadlines_.begin(), deadlines_.end(), deadline), deadline);
    armTimer();
}

void LeverQuery::answer(const std::optional<AgentDeviceStatus>& status) {
    if (waiters_.empty()) return;
    auto waiters = std::move(waiters_);
    waiters_.clear();
    for (auto& waiter : waiters) waiter(status);
}

// Every query keeps its own time-out, even once a status frame has answered it: a stale time-out
// answers whoever is waiting when it comes due. Under load there are thousands of them in flight,
// so they are kept as bare deadlines behind one timer instead of one timer each.
void LeverQuery::armTimer() {
    if (deadlines_.empty()) return;
    const auto first = deadlines_.front();
    if (timer_ && timerAt_ == first) return;
    if (timer_) timer_->cancel();
    timerAt_ = first;
    timer_ = queue_.runAfter(first - queue_.now(), [this] { onDeadline(); });
}

void LeverQuery::onDeadline() {
    timer_.reset();
    const auto now = queue_.now();
    while (!deadlines_.empty() && deadlines_.front() <= now) {
        deadlines_.pop_front();
        if (waiting()) answer(timeoutAnswer_());
    }
    armTimer();
}

}  // namespace vemlo
