#include "agent/VemloAgent.h"

#include "agent/LiveStateFile.h"
#include "agent/SocketServer.h"
#include "platform/SystemLog.h"
#include "platform/UserDefaults.h"

namespace vemlo {

std::shared_ptr<VemloAgent> VemloAgent::create(std::string socketPath, AgentPlatform platform) {
    return std::shared_ptr<VemloAgent>(new VemloAgent(std::move(socketPath), std::move(platform)));
}

VemloAgent::VemloAgent(std::string socketPath, AgentPlatform platform)
    : platform_(std::move(platform)), queue_(*platform_.queue), socketPath_(std::move(socketPath)) {
    // A lever override never survives a restart.
    if (platform_.userDefaults) platform_.userDefaults->removeKey(kUserSwitchOverrideDefaultsKey);
    if (platform_.makeCentral) central_ = platform_.makeCentral(*this);
    // A lever position from an earlier run may be stale; show none until the keyboard reports.
    clearLiveSwitchState();
}

// The socket server's thread must stop before the members its callbacks reach go away.
VemloAgent::~VemloAgent() {
    server_.reset();
    flushLiveState();
}

void VemloAgent::emit(const std::string& message) {
    if (platform_.systemLog) platform_.systemLog->info(message);
    if (onLog) onLog(message);
}

std::optional<uint8_t> VemloAgent::effectiveSwitch() const {
    return userSwitchOverride ? userSwitchOverride : cachedSwitchState;
}

std::function<void()> VemloAgent::weakTask(void (VemloAgent::*method)()) {
    return [weak = weak_from_this(), method] {
        if (auto self = weak.lock()) ((*self).*method)();
    };
}

// The file is a mirror for other programs, and rewriting it costs far more than answering a
// request. Changes are gathered and written together a few milliseconds later, each with the time it
// happened, so a burst of requests or status frames costs one write.
void VemloAgent::writeLiveState(std::optional<uint8_t> stateValue, std::optional<uint8_t> lightMode,
                                std::optional<uint8_t> switchState, std::optional<uint8_t> workMode) {
    auto update = livestate::makeUpdate(stateValue, lightMode, switchState, workMode);
    if (pendingLiveState_) {
        pendingLiveState_->merge(update);
        return;
    }
    pendingLiveState_ = update;
    queue_.runAfter(kLiveStateDelay, weakTask(&VemloAgent::flushLiveState));
}

void VemloAgent::flushLiveState() {
    if (!pendingLiveState_) return;
    livestate::applyUpdate(platform_.homeDirectory, *pendingLiveState_);
    pendingLiveState_.reset();
}

void VemloAgent::clearLiveSwitchState() { livestate::clearSwitchState(platform_.homeDirectory); }

}  // namespace vemlo
