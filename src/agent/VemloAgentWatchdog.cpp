#include "agent/VemloAgent.h"

namespace vemlo {
namespace {

constexpr MainQueue::Duration kFirstCheck = seconds(30);
constexpr MainQueue::Duration kCheckPeriod = seconds(10);
constexpr uint8_t kStopState = 5;

}  // namespace

void VemloAgent::startWatchdog() {
    watchdogTimer_ = queue_.repeat(kFirstCheck, kCheckPeriod, weakTask(&VemloAgent::checkWatchdog));
}

// The LED may still show activity from an assistant that went away without its Stop hook. Idle
// time counts from the last hook command that set a state, not from the last LED change.
void VemloAgent::checkWatchdog() {
    if (!lastHookStateAt_) return;
    const uint8_t s = lastSentState_;
    if (s != 1 && s != 2 && s != 3 && s != 4 && s != 6 && s != 7) return;
    const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(queue_.now() - *lastHookStateAt_).count();
    const int64_t threshold = (s == 7 || s == 1) ? 30 : 60;
    if (elapsed < threshold) return;
    emit("⏰ 看门狗：" + std::to_string(elapsed) + "s 无 hook 活动（上次 LED=" + std::to_string(s) + "，阈值 " +
         std::to_string(threshold) + "s），自动发 Stop(5)");
    sendState(kStopState);
    lastHookStateAt_.reset();
}

}  // namespace vemlo
