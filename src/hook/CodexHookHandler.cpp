#include "hook/CodexHookHandler.h"

#include "hook/HookSupport.h"
#include "leversync/CodexConfigLeverSync.h"
#include "platform/ProcessInfo.h"

#include <unistd.h>
#include <algorithm>

namespace vemlo::CodexHookHandler {
namespace {

using PermissionHook::Answer;
using PermissionHook::Event;
using PermissionHook::Rule;
using PermissionHook::Verdict;

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

Json hookEventOf(const Json& tool) {
    const Json* name = HookSupport::member(tool, "hook_event_name");
    return name && name->is_string() ? *name : Json(nullptr);
}

// ---- PermissionRequest ------------------------------------------------------------------------

void syncAndLogPermission(Event& event) {
    // approval_policy is kept at "on-request" before Codex sees the answer. No lever, no change.
    if (event.lever.switchState) syncConfiguration(event.lever.isAuto());
    Json record = codexRecord("CodexPermissionRequest", "PermissionRequest", LedState::permissionRequest,
                              event.lever.reply.has_value(), event.lever.switchState, event.input.summary);
    record["decision"] = event.lever.isAuto() ? "allow" : "pass_through";
    HookSupport::appendDiagnosticsRecord(kCodexHookLog, record);
}

std::string permissionAnswer(bool allow) {
    // Without "decision" Codex asks the person itself; there is no explicit "ask" to send.
    Json output = {{"hookEventName", "PermissionRequest"}};
    if (allow) output["decision"] = Json{{"behavior", "allow"}};
    return json::dumpCompact(Json{{"hookSpecificOutput", std::move(output)}}) + "\n";
}

constexpr Rule kPermissionRules[] = {{"lever_auto", PermissionHook::leverIsAuto, Verdict::allow}};
constexpr Answer kPermissionAnswers[] = {
    {Verdict::allow, [](const Event&) { return permissionAnswer(true); }},
    {Verdict::none, [](const Event&) { return permissionAnswer(false); }},
};
constexpr PermissionHook::Assistant kPermissionRequest = {
    .label = "Codex",
    .ide = "codex",
    .hookEvent = "PermissionRequest",
    .rules = kPermissionRules,
    .answers = kPermissionAnswers,
    .beforeAnswer = syncAndLogPermission,
};

// ---- PreToolUse -------------------------------------------------------------------------------

// A session that will not ask: `codex exec`, and a TUI session whose approval policy is "never" (the
// person's choice, or a file from before the lever sync kept "on-request"), both reported to hooks
// as "bypassPermissions". The modes in which Codex asks per call do not need the guard: there its
// PermissionRequest follows the lever. No mode at all: nothing to go on, and Codex sends one.
bool sessionWillNotAsk(const Event& event) {
    static constexpr std::string_view kAsking[] = {"default", "plan", "acceptEdits"};
    const auto& mode = event.fields.permissionMode;
    return mode && std::find(std::begin(kAsking), std::end(kAsking), *mode) == std::end(kAsking);
}

// `codex exec` has no /permissions to turn to; it takes its policy from the command line.
bool runsUnderCodexExec() {
    const auto codex = process::nearestAncestor(
        ::getppid(), [](const process::ProcessInfo& p) { return process::runsProgram(p, "codex"); });
    return codex && std::find(codex->argv.begin() + (codex->argv.empty() ? 0 : 1), codex->argv.end(), "exec") !=
                        codex->argv.end();
}

std::string bypassReason(const Event& event) {
    std::string reason = "vemlo: " + PermissionHook::leverText(event) + "，此 Codex 会话不逐次询问（permission_mode=" +
                         event.fields.permissionMode.value_or("") + "），已拦下此次工具调用。";
    reason += runsUnderCodexExec() ? "请在拨杆回到 0 后再运行，或以需要批准的模式运行 codex。"
                                   : "输入 /permissions 选一个需要批准的模式，Codex 就会逐次询问。";
    return reason;
}

void logState(Event& event) {
    HookSupport::appendDiagnosticsRecord(
        kCodexHookLog, codexRecord("CodexPreToolUse", hookEventOf(event.input.summary), LedState::toolRunning,
                                   event.stateReply.has_value(), HookSupport::leverInReply(event.stateReply),
                                   event.input.summary));
}

std::string denyAnswer(const Event& event) {
    const Json answer = {{"hookSpecificOutput",
                          {{"hookEventName", "PreToolUse"},
                           {"permissionDecision", "deny"},
                           {"permissionDecisionReason", event.reason}}}};
    return json::dumpCompact(answer) + "\n";
}

constexpr Rule kPreToolUseRules[] = {
    {"lever_auto", PermissionHook::leverIsAuto, Verdict::none},
    {"codex_session_will_not_ask_guard", PermissionHook::always, Verdict::deny, bypassReason},
};
constexpr Answer kPreToolUseAnswers[] = {
    {Verdict::none, [](const Event&) { return std::string("{}\n"); }},
    {Verdict::deny, denyAnswer},
};
constexpr PermissionHook::Assistant kPreToolUse = {
    .label = "Codex",
    .ide = "codex",
    .hookEvent = "PreToolUse",
    .permissionEvent = false,
    .led = LedState::toolRunning,
    .needsLever = sessionWillNotAsk,
    .rules = kPreToolUseRules,
    .answers = kPreToolUseAnswers,
    .beforeAnswer = logState,
};

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

    Json hookEvent = hookEventOf(tool);
    const Json record = codexRecord(codexAgentEventName(state), std::move(hookEvent), state, reply.has_value(),
                                    HookSupport::leverInReply(reply), std::move(tool));
    HookSupport::appendDiagnosticsRecord(kCodexHookLog, record);
    (void)HookSupport::writeAll(STDOUT_FILENO, "{}\n");
}

void handlePreToolUse() { PermissionHook::run(kPreToolUse, "CodexPreToolUse"); }

void handlePermissionRequest() { PermissionHook::run(kPermissionRequest, "CodexPermissionRequest"); }

}  // namespace vemlo::CodexHookHandler
