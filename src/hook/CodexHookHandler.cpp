#include "hook/CodexHookHandler.h"

#include "hook/HookSupport.h"
#include "leversync/CodexConfigLeverSync.h"

#include <unistd.h>

namespace vemlo::CodexHookHandler {
namespace {

constexpr std::string_view kCodexHookLog = "codex-hook.log";

std::string codexAgentEventName(LedState state) {
    switch (state) {
    case LedState::toolFinished:
        return "CodexPostToolUse";
    case LedState::toolRunning:
        return "CodexPreToolUse";
    case LedState::sessionStarted:
        return "CodexSessionStart";
    case LedState::stop:
        return "CodexStop";
    case LedState::promptSubmitted:
        return "CodexUserPromptSubmit";
    default:
        return "CodexState" + std::to_string(wireValue(state));
    }
}

Json orNull(std::optional<int64_t> value) { return value ? Json(*value) : Json(nullptr); }

Json codexRecord(const std::string& agentEvent, Json hookEvent, LedState state, bool agentReply,
                 std::optional<int64_t> switchState, Json tool) {
    Json record = Json::object();
    record["ts"] = HookSupport::diagnosticTimestampFormatter().now();
    record["agentEvent"] = agentEvent;
    record["hookEvent"] = std::move(hookEvent);
    record["stateValue"] = wireValue(state);
    record["agentReply"] = agentReply;
    record["switchState"] = orNull(switchState);
    record["tool"] = std::move(tool);
    return record;
}

// A sync that leaves the configuration alone says why in the Codex log as well.
void syncConfiguration(bool lever0) {
    CodexConfigLeverSync::apply(lever0, [](std::string_view event, const Json& details) {
        Json record = details;
        record["ts"] = HookSupport::diagnosticTimestampFormatter().now();
        record["event"] = event;
        HookSupport::appendDiagnosticsRecord(kCodexHookLog, record);
    });
}

}  // namespace

void handleState(LedState state) {
    Json tool = HookSupport::readAndSummarizeStandardInput("Codex").summary;

    const std::optional<Json> reply =
        HookSupport::sendJsonRequest(Json{{"cmd", "state"}, {"value", wireValue(state)}}, 2.0);
    // "state" only acknowledges, so the session start asks for the lever separately.
    if (state == LedState::sessionStarted) {
        const std::optional<int64_t> lever =
            HookSupport::leverInReply(HookSupport::sendJsonRequest(Json{{"cmd", "status"}}, 2.0));
        if (lever) syncConfiguration(*lever == 0);
    }

    const Json* hookEventName = HookSupport::member(tool, "hook_event_name");
    Json hookEvent = hookEventName && hookEventName->is_string() ? *hookEventName : Json(nullptr);
    const Json record = codexRecord(codexAgentEventName(state), std::move(hookEvent), state, reply.has_value(),
                                    HookSupport::leverInReply(reply), std::move(tool));
    HookSupport::appendDiagnosticsRecord(kCodexHookLog, record);
    (void)HookSupport::writeAll(STDOUT_FILENO, "{}\n");
}

void handlePermissionRequest() {
    const HookSupport::StandardInput input = HookSupport::readAndSummarizeStandardInput("Codex");
    const HookSupport::LeverReading lever = HookSupport::askAgentForLever();
    // The configuration follows the lever before Codex sees the answer, so that the approval flow
    // Codex falls back to already runs under the matching policy. No lever, no change.
    if (lever.switchState) syncConfiguration(lever.isAuto());
    if (!lever.isAuto()) HookSupport::emitPermissionStderr("Codex", "PermissionRequest", lever);

    // Without "decision" Codex asks the person itself; there is no explicit "ask" to send.
    Json output = Json::object();
    output["hookEventName"] = "PermissionRequest";
    if (lever.isAuto()) output["decision"] = Json{{"behavior", "allow"}};

    Json record = codexRecord("CodexPermissionRequest", "PermissionRequest", LedState::permissionRequest,
                              lever.reply.has_value(), lever.switchState, input.summary);
    record["decision"] = lever.isAuto() ? "allow" : "pass_through";
    HookSupport::appendDiagnosticsRecord(kCodexHookLog, record);

    const std::string answer = json::dumpCompact(Json{{"hookSpecificOutput", std::move(output)}});
    if (!answer.empty()) (void)HookSupport::writeAll(STDOUT_FILENO, answer + "\n");

    HookSupport::appendDiagnosticsRecord(
        HookSupport::kPermissionRequestLog,
        HookSupport::permissionRecord("codex", "PermissionRequest", lever, input.summary));
}

}  // namespace vemlo::CodexHookHandler
