#include "agent/VemloAgent.h"

#include "agent/SocketServer.h"
#include "platform/SystemLog.h"
#include "platform/UserDefaults.h"

namespace vemlo {

std::shared_ptr<VemloAgent> VemloAgent::create(std::string socketPath, AgentPlatform platform) {
    return std::shared_ptr<VemloAgent>(new VemloAgent(std::move(socketPath), std::move(platform)));
}

VemloAgent::VemloAgent(std::string socketPath, AgentPlatform platform)
    : platform_(std::move(platform)),
      queue_(*platform_.queue),
      socketPath_(std::move(socketPath)),
      liveState_(queue_, platform_.homeDirectory),
      leverQuery_(queue_, [this] { return cacheBuiltStatus(cachedSwitchState_, cachedLightMode_); }),
      watchdog_(queue_, Watchdog::Link{[this] { return lastSentState_; }, [this](uint8_t value) { sendState(value); },
                                       [this](const std::string& line) { emit(line); }}) {
    // A lever override never survives a restart.
    if (platform_.userDefaults) platform_.userDefaults->removeKey(kUserSwitchOverrideDefaultsKey);
    if (platform_.followLever) leverFollower_ = std::make_unique<LeverFollower>(platform_.followLever);
    if (platform_.makeCentral) central_ = platform_.makeCentral(*this);
    // A lever position from an earlier run may be stale; show none until the keyboard reports.
    liveState_.clearSwitchState();
}

// The socket server's thread must stop before the members its callbacks reach go away.
VemloAgent::~VemloAgent() {
    server_.reset();
    leverFollower_.reset();
}

void VemloAgent::emit(const std::string& message) {
    if (platform_.systemLog) platform_.systemLog->info(message);
    if (onLog) onLog(message);
}

std::optional<uint8_t> VemloAgent::effectiveSwitch() const {
    return userSwitchOverride_ ? userSwitchOverride_ : cachedSwitchState_;
}

void VemloAgent::publishLever() {
    if (leverFollower_) leverFollower_->publish(effectiveSwitch());
}

std::function<void()> VemloAgent::weakTask(void (VemloAgent::*method)()) {
    return [weak = weak_from_this(), method] {
        if (auto self = weak.lock()) ((*self).*method)();
    };
}

}  // namespace vemlo
