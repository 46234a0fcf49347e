#include "hook/PermissionHook.h"

#include "hook/HookSupport.h"
#include "platform/SocketPath.h"

#include <unistd.h>
#include <algorithm>

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

LeverReading askAgentForLever(LedState led) {
    LeverReading lever;
    lever.noReply.socketPath = defaultSocketPath();
    control::Failure failure;
    lever.reply = sendJsonRequest(Json{{"cmd", "permission"}, {"value", wireValue(led)}}, 5.0, lever.noReply.socketPath, &failure);
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

namespace vemlo::PermissionHook {
namespace {

// The permission time-out: the agent may wait up to 1.5 s for the keyboard before it answers.
constexpr double kLeverTimeoutSeconds = 5.0;
constexpr double kStateTimeoutSeconds = 2.0;

std::optional<std::string> stringMember(const Json& object, std::string_view key) {
    const Json* value = HookSupport::member(object, key);
    if (!value || !value->is_string()) return std::nullopt;
    return value->get<std::string>();
}

void writeStderr(const std::string& text) { (void)HookSupport::writeAll(STDERR_FILENO, text); }

}  // namespace

const char* verdictName(Verdict verdict) {
    switch (verdict) {
    case Verdict::allow:
        return "allow";
    case Verdict::ask:
        return "ask";
    case Verdict::deny:
        return "deny";
    case Verdict::none:
        break;
    }
    return "none";
}

InputFields readInputFields(std::string_view input) {
    static constexpr std::string_view kRead[] = {"permission_mode", "tool_name", "toolName", "session_id",
                                                 "sessionId"};
    InputFields fields;
    if (input.empty()) return fields;
    // Only these members are built; tool arguments of any size cost their parsing alone.
    const auto object = json::parseObjectMembers(
        input, [](std::string_view key) { return std::find(std::begin(kRead), std::end(kRead), key) != std::end(kRead); },
        /*containersAsNull=*/true);
    if (!object) return fields;
    fields.permissionMode = stringMember(*object, "permission_mode");
    fields.toolName = stringMember(*object, "tool_name");
    if (!fields.toolName) fields.toolName = stringMember(*object, "toolName");
    fields.sessionId = stringMember(*object, "session_id");
    if (!fields.sessionId) fields.sessionId = stringMember(*object, "sessionId");
    return fields;
}

std::optional<int64_t> askAgentForLeverAgain() {
    return HookSupport::leverInReply(HookSupport::sendJsonRequest(Json{{"cmd", "status"}}, kLeverTimeoutSeconds));
}

std::string leverText(const Event& event) {
    if (event.lever.switchState) return "拨杆在 " + std::to_string(*event.lever.switchState) + "（非 0）";
    return event.lever.reply ? "读不到拨杆位置（agent 回包无 switchState）" : "读不到拨杆位置（agent 无回包）";
}

void run(const Assistant& assistant, std::string_view eventName) {
    Event event;
    event.name = std::string(eventName);
    event.input = HookSupport::readAndSummarizeStandardInput(assistant.label);
    event.fields = readInputFields(event.input.bytes);
    if (assistant.afterInput) assistant.afterInput(event);

    // Ask the agent. A permission event shows the permission LED while the agent asks the keyboard;
    // an activity event shows its own LED, and asks for the lever only where a guard may apply, so
    // that the calls no guard concerns cost what they always did.
    const uint8_t led = wireValue(assistant.led);
    if (assistant.permissionEvent) {
        event.lever = HookSupport::askAgentForLever(assistant.led);
        event.leverAsked = true;
    } else {
        event.stateReply = HookSupport::sendJsonRequest(Json{{"cmd", "state"}, {"value", led}}, kStateTimeoutSeconds);
        if (assistant.needsLever && assistant.needsLever(event)) {
            event.lever.reply = HookSupport::sendJsonRequest(Json{{"cmd", "status"}}, kLeverTimeoutSeconds);
            event.lever.switchState = HookSupport::leverInReply(event.lever.reply);
            event.leverAsked = true;
        }
    }
    if (assistant.afterLever) assistant.afterLever(event);

    // Decide: the first rule that applies. Rules only see a lever that was asked for.
    if (event.leverAsked) {
        for (const Rule& rule : assistant.rules) {
            if (!rule.applies(event)) continue;
            event.verdict = rule.verdict;
            event.rule = rule.name;
            if (rule.reason) event.reason = rule.reason(event);
            break;
        }
    }
    const std::string_view hookName = assistant.hookEvent.empty() ? eventName : assistant.hookEvent;
    if (assistant.permissionEvent && !event.lever.isAuto())
        HookSupport::emitPermissionStderr(assistant.label, hookName, event.lever);
    if (!event.reason.empty()) writeStderr("[vemlo-hook] " + event.reason + "\n");

    if (assistant.beforeAnswer) assistant.beforeAnswer(event);
    for (const Answer& answer : assistant.answers) {
        if (answer.verdict != event.verdict) continue;
        const std::string text = answer.text(event);
        if (!text.empty()) (void)HookSupport::writeAll(STDOUT_FILENO, text);
        break;
    }
    if (assistant.afterAnswer) assistant.afterAnswer(event);

    if (!assistant.permissionEvent && event.verdict == Verdict::none) return;
    Json record = HookSupport::permissionRecord(assistant.ide, hookName, event.lever, event.input.summary);
    if (!assistant.permissionEvent) {
        record["guard"] = event.rule;
        record["guardDecision"] = verdictName(event.verdict);
    }
    for (auto& [key, value] : event.recordExtras.items()) record[key] = value;
    HookSupport::appendDiagnosticsRecord(HookSupport::kPermissionRequestLog, record);
}

}  // namespace vemlo::PermissionHook
