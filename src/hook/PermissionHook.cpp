#include "hook/PermissionHook.h"

#include "hook/HookSupport.h"
#include "platform/SocketPath.h"

#include <unistd.h>

namespace vemlo::HookSupport {

std::optional<int64_t> leverInReply(const std::optional<Json>& reply) {
    if (!reply || reply->empty()) return std::nullopt;
    const Json* lever = member(*reply, "switchState");
    if (!lever || !lever->is_number_integer()) return std::nullopt;
    return intValue(lever);
}

const char* LeverReading::diagnostic() const {
    return !reply ? "no_agent_reply" : !switchState ? "no_switch_in_reply" : isAuto() ? "allow" : "ask";
}

LeverReading askAgentForLever() {
    LeverReading lever;
    lever.noReply.socketPath = defaultSocketPath();
    control::Failure failure;
    lever.reply = sendJsonRequest(Json{{"cmd", "permission"}, {"value", 1}}, 5.0, lever.noReply.socketPath, &failure);
    if (!lever.reply) {
        lever.noReply.reason = std::move(failure.reason);
        lever.noReply.otherUser = failure.otherUser;
    }
    lever.switchState = leverInReply(lever.reply);
    return lever;
}

Json permissionRecord(std::string_view ide, std::string_view hookEvent, const LeverReading& lever, Json tool) {
    Json record = Json::object();
    record["ts"] = diagnosticTimestampFormatter().now();
    record["ide"] = ide;
    record["hookEvent"] = hookEvent;
    record["switchState"] = lever.switchState ? Json(*lever.switchState) : Json(nullptr);
    record["isAuto"] = lever.isAuto();
    record["agentReply"] = lever.reply.has_value();
    record["diagnostic"] = lever.diagnostic();
    record["tool"] = std::move(tool);
    return record;
}

std::string permissionStderrMessage(std::string_view ide, std::string_view hookName, bool hasReply,
                                    std::optional<int64_t> switchState, const NoAgentReply& noReply) {
    if (switchState && *switchState == 0) return {};
    std::string message = "[vemlo-hook] ";
    message.append(ide).append(" ").append(hookName);
    if (switchState) {
        message += ": 拨杆 switchState=" + std::to_string(*switchState) + "（非 0），不自动批准。\n";
    } else if (hasReply) {
        message += ": 回包无有效 switchState（需 BLE 已连且能读到拨杆 0=自动批准），将按交回用户/终端处理。\n";
    } else {
        // The 5 s names the permission time-out, whatever the caller passed.
        const std::string path = noReply.socketPath.empty() ? defaultSocketPath() : noReply.socketPath;
        message += ": agent 无回包或 Unix socket 失败（" + path + " 连不上/超时，超时 5s";
        if (!noReply.reason.empty()) message += "：" + noReply.reason;
        message += "）。";
        if (noReply.otherUser)
            message += "这个 socket 属于另一个用户（uid " + std::to_string(*noReply.otherUser) +
                       "），不是你的 agent：请让它让出该路径，或用 VEMLO_SOCKET 另选路径。";
#ifdef __APPLE__
        message += "请确认 LaunchAgent 里 vemloconfig-agent 在跑、且蓝牙已选「由 Agent 占用」并连上键盘。\n";
#else
        message +=
            "请确认 vemloconfig-agent 在跑（systemctl --user status vemloconfig-agent 或 vemloctl status）、"
            "且已连上键盘。\n";
#endif
    }
    return message;
}

void emitPermissionStderr(std::string_view ide, std::string_view hookName, const std::optional<Json>& reply,
                          std::optional<int64_t> switchState) {
    const std::string message = permissionStderrMessage(ide, hookName, reply.has_value(), switchState);
    if (!message.empty()) (void)!::write(STDERR_FILENO, message.data(), message.size());
}

void emitPermissionStderr(std::string_view ide, std::string_view hookName, const LeverReading& lever) {
    const std::string message =
        permissionStderrMessage(ide, hookName, lever.reply.has_value(), lever.switchState, lever.noReply);
    if (!message.empty()) (void)!::write(STDERR_FILENO, message.data(), message.size());
}

}  // namespace vemlo::HookSupport
