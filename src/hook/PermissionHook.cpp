#include "hook/PermissionHook.h"

#include "hook/HookSupport.h"

#include <unistd.h>

namespace vemlo::HookSupport {

std::optional<int64_t> leverInReply(const std::optional<Json>& reply) {
    if (!reply || reply->empty()) return std::nullopt;
    return intValue(member(*reply, "switchState"));
}

const char* LeverReading::diagnostic() const {
    return !reply ? "no_agent_reply" : !switchState ? "no_switch_in_reply" : isAuto() ? "allow" : "ask";
}

LeverReading askAgentForLever(LedState led) {
    LeverReading lever;
    lever.reply = sendJsonRequest(Json{{"cmd", "permission"}, {"value", wireValue(led)}}, 5.0);
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
                                    std::optional<int64_t> switchState) {
    if (switchState && *switchState == 0) return {};
    std::string message = "[vemlo-hook] ";
    message.append(ide).append(" ").append(hookName);
    if (switchState) {
        message += ": 拨杆 switchState=" + std::to_string(*switchState) + "（非 0），不自动批准。\n";
    } else if (hasReply) {
        message += ": 回包无有效 switchState（需 BLE 已连且能读到拨杆 0=自动批准），将按交回用户/终端处理。\n";
    } else {
        // The 5 s names the permission time-out, whatever the caller passed.
        message +=
            ": agent 无回包或 Unix socket 失败（/tmp/vemlo.sock 连不上/超时，超时 5s）。"
            "请确认 LaunchAgent 里 vemloconfig-agent 在跑、且蓝牙已选「由 Agent 占用」并连上键盘。\n";
    }
    return message;
}

void emitPermissionStderr(std::string_view ide, std::string_view hookName, const std::optional<Json>& reply,
                          std::optional<int64_t> switchState) {
    const std::string message = permissionStderrMessage(ide, hookName, reply.has_value(), switchState);
    if (!message.empty()) (void)!::write(STDERR_FILENO, message.data(), message.size());
}

void emitPermissionStderr(std::string_view ide, std::string_view hookName, const LeverReading& lever) {
    emitPermissionStderr(ide, hookName, lever.reply, lever.switchState);
}

}  // namespace vemlo::HookSupport
