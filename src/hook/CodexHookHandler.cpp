#include "hook/CodexHookHandler.h"

#include "hook/HookSupport.h"
#include "leversync/CodexConfigLeverSync.h"

#include <unistd.h>

namespace vemlo::CodexHookHandler {
namespace {

constexpr std::string_view kCodexHookLog = "codex-hook.log";

std::string codexAgentEventName(uint8_t stateValue) {
    switch (stateValue) {
        case 2: return "CodexPostToolUse";
        case 3: return "CodexPreToolUse";
        case 4: return "CodexSessionStart";
        case 5: return "CodexStop";
        case 7: return "CodexUserPromptSubmit";
        default: return "CodexState" + std::to_string(stateValue);
    }
}

// An empty reply object is an answer without a lever, not a lever of 0.
std::optional<int64_t> leverOf(const std::optional<Json>& reply) {
    if (!reply || reply->empty()) return std::nullopt;
    return HookSupport::intValue(HookSupport::member(*reply, "switchState"));
}

Json orNull(std::optional<int64_t> value) { return value ? Json(*value) : Json(nullptr); }

Json codexRecord(const std::string& agentEvent, Json hookEvent, uint8_t stateValue, bool agentReply,
                 std::optional<int64_t> switchState, Json tool) {
    Json record = Json::object();
    record["ts"] = HookSupport::diagnosticTimestampFormatter().now();
    record["agentEvent"] = agentEvent;
    record["hookEvent"] = std::move(hookEvent);
    record["stateValue"] = stateValue;
    record["agentReply"] = agentReply;
    record["switchState"] = orNull(switchState);
    record["tool"] = std::move(tool);
    return record;
}

}  // namespace

void handleState(uint8_t stateValue) {
    Json tool = HookSupport::parseStdinContext(HookSupport::readStandardInput(), "Codex");

    const std::optional<Json> reply =
        HookSupport::sendJsonRequest(Json{{"cmd", "state"}, {"value", stateValue}}, 2.0);
    // "state" only acknowledges, so the session start asks for the lever separately.
    if (stateValue == 4) {
        const std::optional<int64_t> lever = leverOf(HookSupport::sendJsonRequest(Json{{"cmd", "status"}}, 2.0));
        if (lever) CodexConfigLeverSync::apply(*lever == 0);
    }

    const Json* hookEventName = HookSupport::member(tool, "hook_event_name");
    Json hookEvent = hookEventName && hookEventName->is_string() ? *hookEventName : Json(nullptr);
    const Json record = codexRecord(codexAgentEventName(stateValue), std::move(hookEvent), stateValue,
                                    reply.has_value(), leverOf(reply), std::move(tool));
    HookSupport::appendDiagnosticsRecord(kCodexHookLog, record);
    (void)HookSupport::writeAll(STDOUT_FILENO, "{}\n");
}

void handlePermissionRequest() {
    const std::string input = HookSupport::readStandardInput();
    const Json tool = HookSupport::parseStdinContext(input, "Codex");

    const std::optional<Json> reply = HookSupport::sendJsonRequest(Json{{"cmd", "permission"}, {"value", 1}}, 5.0);
    const std::optional<int64_t> switchState = leverOf(reply);
    // The configuration follows the lever before Codex sees the answer, so that the approval flow
    // Codex falls back to already runs under the matching policy. No lever, no change.
    if (switchState) CodexConfigLeverSync::apply(*switchState == 0);

    const bool isAuto = switchState && *switchState == 0;
    if (!isAuto) HookSupport::emitPermissionStderr("Codex", "PermissionRequest", reply, switchState);

    // Without "decision" Codex asks the person itself; there is no explicit "ask" to send.
    Json output = Json::object();
    output["hookEventName"] = "PermissionRequest";
    if (isAuto) output["decision"] = Json{{"behavior", "allow"}};

    Json record = codexRecord("CodexPermissionRequest", "PermissionRequest", 1, reply.has_value(), switchState, tool);
    record["decision"] = isAuto ? "allow" : "pass_through";
    HookSupport::appendDiagnosticsRecord(kCodexHookLog, record);

    const std::string answer = json::dumpCompact(Json{{"hookSpecificOutput", std::move(output)}});
    if (!answer.empty()) (void)HookSupport::writeAll(STDOUT_FILENO, answer + "\n");

    Json permission = Json::object();
    permission["ts"] = HookSupport::diagnosticTimestampFormatter().now();
    permission["ide"] = "codex";
    permission["hookEvent"] = "PermissionRequest";
    permission["switchState"] = orNull(switchState);
    permission["isAuto"] = isAuto;
    permission["agentReply"] = reply.has_value();
    permission["diagnostic"] = !reply         ? "no_agent_reply"
                               : !switchState ? "no_switch_in_reply"
                               : isAuto       ? "allow"
                                              : "ask";
    permission["tool"] = tool;
    HookSupport::appendDiagnosticsRecord(HookSupport::kPermissionRequestLog, permission);
}

}  // namespace vemlo::CodexHookHandler
