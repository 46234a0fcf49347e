#include "agent/VemloAgent.h"

#include <algorithm>

namespace vemlo {
namespace {

constexpr MainQueue::Duration kLeverQueryTimeout = seconds(1.5);
// About 24.8 days: longer than any fall-back a hook asks for, and far from the point where the
// delay, counted in nanoseconds on the monotonic clock, would wrap round to "now".
constexpr int64_t kMaxResetDelayMs = int64_t{1} << 31;

Json orNull(std::optional<uint8_t> v) { return v ? Json(*v) : Json(nullptr); }

}  // namespace

Json VemloAgent::statusReply(const std::optional<AgentDeviceStatus>& status, std::optional<uint8_t> cachedSwitch,
                             std::optional<uint8_t> cachedLight) {
    Json reply = Json::object();
    if (status) {
        reply["switchState"] = status->switchState;
        reply["lightMode"] = status->lightMode;
    } else {
        reply["switchState"] = orNull(cachedSwitch);
        reply["lightMode"] = orNull(cachedLight);
    }
    return reply;
}

void VemloAgent::replyToLeverQuery(bool isPermission, int clientFd) {
    querySwitchState(
        kLeverQueryTimeout, [weak = weak_from_this(), isPermission, clientFd](std::optional<AgentDeviceStatus> status) {
            auto self = weak.lock();
            if (!self) {
                replyAndClose(clientFd, statusReply(status, std::nullopt, std::nullopt));
                return;
            }
            Json reply = statusReply(status, self->effectiveSwitch(), self->cachedLightMode_);
            if (isPermission) {
                const Json& lever = reply["switchState"];
                if (lever.is_null()) {
                    self->emit("← permission 回包 switchState=Optional(<null>)");
                    self->emit("（switchState 缺省：批准链可能仍交回手动；请把「蓝牙」交给 Agent 并连上键盘。）");
                } else {
                    const int64_t value = lever.get<int64_t>();
                    self->emit("← permission 回包 switchState=Optional(" + std::to_string(value) + ")");
                    if (value != 0) self->emit("（拨杆非 0：PermissionRequest 将交回终端手动确认）");
                }
            }
            replyAndClose(clientFd, reply);
        });
}

void VemloAgent::handleJsonCommand(const std::string& cmd, const Json& obj, int clientFd) {
    const Json ack = {{"ok", true}};
    if (cmd == "state") {
        if (auto value = json::integerMember(obj, "value")) {
            watchdog_.hookSetState();
            sendState(clampToByte(*value));
        }
        replyAndClose(clientFd, ack);
    } else if (cmd == "state_with_reset") {
        const int64_t value = json::integerMember(obj, "value").value_or(0);
        const int64_t resetValue = json::integerMember(obj, "resetValue").value_or(4);
        const int64_t delayMs = json::integerMember(obj, "delayMs").value_or(1200);
        sendState(clampToByte(value));
        scheduleStateReset(clampToByte(resetValue), std::clamp<int64_t>(delayMs, 0, kMaxResetDelayMs),
                           "temporary state " + std::to_string(value) + " -> reset " + std::to_string(resetValue));
        replyAndClose(clientFd, ack);
    } else if (cmd == "permission") {
        watchdog_.hookSetState();
        sendState(clampToByte(json::integerMember(obj, "value").value_or(1)));
        replyToLeverQuery(/*isPermission=*/true, clientFd);
    } else if (cmd == "status" || cmd == "approval_status") {
        replyToLeverQuery(/*isPermission=*/false, clientFd);
    } else if (cmd == "set_switch_override") {
        auto it = obj.find("value");
        if (it == obj.end() || it->is_null()) {
            setSwitchOverride(std::nullopt);
        } else if (auto value = json::integerMember(obj, "value")) {
            setSwitchOverride(clampToByte(*value));
        }
        replyAndClose(
            clientFd,
            Json{{"ok", true}, {"switchState", orNull(effectiveSwitch())}, {"override", orNull(userSwitchOverride_)}});
    } else {
        replyAndClose(clientFd, Json{{"error", "unknown cmd: " + cmd}});
    }
}

void VemloAgent::setSwitchOverride(std::optional<uint8_t> value) {
    userSwitchOverride_ = value;
    if (value) emit("拨杆 " + std::to_string(*value) + " 仅作临时软件模拟，下一次真实状态回包会接管。");
    const auto effective = effectiveSwitch();
    liveState_.write(std::nullopt, std::nullopt, effective, std::nullopt);
    // Written before the reply goes out: a program that sets the software lever and then reads the
    // file must find the lever it set, not wait for the writer's gathering delay.
    liveState_.flush();
    publishLever();
    emit("拨杆覆盖 = " + (value ? std::to_string(*value) : std::string("清除")) +
         "（effective=" + (effective ? std::to_string(*effective) : std::string("未知")) + "）");
}

void VemloAgent::scheduleStateReset(uint8_t to, int64_t afterMs, std::string reason) {
    if (pendingStateReset_) pendingStateReset_->cancel();
    pendingStateReset_ =
        queue_.runAfter(std::chrono::milliseconds(afterMs), [weak = weak_from_this(), to, reason = std::move(reason)] {
            auto self = weak.lock();
            if (!self) return;
            self->sendState(to);
            self->emit("自动回落灯态：" + reason);
        });
}

}  // namespace vemlo
