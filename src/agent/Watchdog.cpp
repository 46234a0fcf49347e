#include "agent/Watchdog.h"

#include "platform/LedState.h"

namespace vemlo {
namespace {

// How long an activity state may stand without a hook; absent for states that show rest.
std::optional<int64_t> idleLimitSeconds(uint8_t state) {
    switch (static_cast<LedState>(state)) {
    case LedState::permissionRequest:
    case LedState::promptSubmitted:
        return 30;
    case LedState::toolFinished:
    case LedState::toolRunning:
    case LedState::sessionStarted:
    case LedState::taskCompleted:
        return 60;
    default:
        return std::nullopt;
    }
}

}  // namespace

Watchdog::Watchdog(MainQueue& queue, Link link) : queue_(queue), link_(std::move(link)) {}

Watchdog::~Watchdog() {
    if (timer_) timer_->cancel();
}

void Watchdog::start() {
    timer_ = queue_.repeat(kFirstCheck, kCheckPeriod, [this] { check(); });
}

void Watchdog::hookSetState() { lastHookStateAt_ = queue_.now(); }

// Idle time counts from the last hook command that set a state, not from the last LED change.
void Watchdog::check() {
    if (!lastHookStateAt_) return;
    const uint8_t s = link_.lastSentState();
    const auto threshold = idleLimitSeconds(s);
    if (!threshold) return;
    const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(queue_.now() - *lastHookStateAt_).count();
    if (elapsed < *threshold) return;
    link_.log("⏰ 看门狗：" + std::to_string(elapsed) + "s 无 hook 活动（上次 LED=" + std::to_string(s) + "，阈值 " +
              std::to_string(*threshold) + "s），自动发 Stop(5)");
    link_.sendState(wireValue(LedState::stop));
    lastHookStateAt_.reset();
}

}  // namespace vemlo
