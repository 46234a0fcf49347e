#include "hook/KimiHookHandler.h"

#include "hook/HookSupport.h"
#include "hook/KimiConfigDiagnostic.h"
#include "hook/KimiHookDebugLog.h"
#include "hook/KimiSessionRecord.h"
#include "leversync/LeverFollow.h"

#include <unistd.h>
#include <ctime>

namespace vemlo::KimiHookHandler {
namespace {

using PermissionHook::Answer;
using PermissionHook::Event;
using PermissionHook::Rule;
using PermissionHook::Verdict;

constexpr const char* kAutoDecision = "auto_no_stdout_no_veto";
constexpr const char* kManualDecision = "manual_lever_no_stdout";
constexpr const char* kDenyDecision = "manual_lever_deny_auto_session";

constexpr const char* kRunnerNote = "upstream_kimi_hooks_runner_only_handles_permissionDecision_deny";
constexpr const char* kReloadHint =
    "kimi-cli 读 default_yolo 在 KimiCLI.create/load_config；已开着的会话请输入 /reload 即可（不必退出 kimi）。"
    "PreToolUse 仍仅 deny 会拦工具；default_yolo 管交互批准层。";

void say(const std::string& text) { (void)HookSupport::writeAll(STDERR_FILENO, "[tesk-kimi] " + text + "\n"); }

const char* boolText(bool value) { return value ? "true" : "false"; }

Json optionalInteger(std::optional<int64_t> value) { return value ? Json(*value) : Json(nullptr); }

// What the agent answered, bounded for the debug log: an agent that misbehaves must not flood it.
Json kimiReplyPreview(const std::optional<Json>& reply) {
    if (!reply) return Json{{"nil", true}};
    Json preview = Json::object();
    if (const Json* lever = HookSupport::member(*reply, "switchState"))
        preview["switchState"] = HookSupport::stringifyDebugValue(*lever, 48);
    if (const Json* ok = HookSupport::member(*reply, "ok")) preview["ok"] = *ok;
    if (const Json* error = HookSupport::member(*reply, "error"); error && error->is_string())
        preview["error"] = HookSupport::stringifyDebugValue(*error, 160);
    return preview;
}

std::string valueSnippet(const Json& snapshot) {
    const Json* value = HookSupport::member(snapshot, "default_yolo_valueSnippet");
    if (!value || value->is_null()) return "(unset/absent)";
    return value->is_string() ? value->get<std::string>() : json::dumpCompact(*value);
}

const char* decisionLabel(const Event& event) {
    return event.verdict == Verdict::deny ? kDenyDecision : event.lever.isAuto() ? kAutoDecision : kManualDecision;
}

// ---- the steps --------------------------------------------------------------------------------

void logStart(Event& event) {
    // The bytes read, also when the input was cut and not kept.
    const uint64_t stdinBytes = event.input.summary.value("stdinBytes", uint64_t{0});
    const std::string logPath = KimiHookDebugLog::logFilePath();
    KimiHookDebugLog::append("kimi_PreToolUse_start", Json{{"stdinBytes", stdinBytes},
                                                           {"toolPreview", event.input.summary},
                                                           {"hintLogFile", logPath}});
    say("PreToolUse hook start bytes=" + std::to_string(stdinBytes) + "; full log=" + logPath);
}

void logLever(Event& event) {
    const auto& switchState = event.lever.switchState;
    KimiHookDebugLog::append("kimi_PreToolUse_agent_reply", Json{{"agentReplyNil", !event.lever.reply},
                                                                 {"switchState", optionalInteger(switchState)},
                                                                 {"computedIsAuto", event.lever.isAuto()},
                                                                 {"replyPreview", kimiReplyPreview(event.lever.reply)}});
    say("agent socket reply: switchState=" + (switchState ? std::to_string(*switchState) : std::string("nil")) +
        " isAuto=" + boolText(event.lever.isAuto()));
}

// The configuration follows the lever, read again under the lock. The decision was taken on the
// file as the session saw it; the sync only changes what the next session or /reload reads.
void followLever(Event& event) {
    KimiHookDebugLog::append("kimi_PreToolUse_probe_before_lever_sync",
                             Json{{"kimiLeverDebug_preview", KimiConfigDiagnostic::snapshotForLog()},
                                  {"switchStateNil", !event.lever.switchState},
                                  {"kimiRunnerNote", kRunnerNote}});
    if (!event.lever.switchState) {
        // Without a lever position Kimi keeps whatever `default_yolo` it has: guessing either way could
        // switch its automatic approval on behind the person's back or off in the middle of their work.
        say(std::string("no switchState from agent → skipped default_yolo sync; kimiPreTool=") + decisionLabel(event) +
            "; check BLE/agent");
        return;
    }
    // What the sync did goes to the debug log as it happens.
    const KimiConfigLeverSync::Report report = [](std::string_view name, const Json& details) {
        KimiHookDebugLog::append(name, details);
    };
    const auto synced = LeverFollow::syncKimi(files::homeDirectory(), PermissionHook::askAgentForLeverAgain, report);
    const Json snapshot = KimiConfigDiagnostic::leverSyncSnapshotForLog();
    KimiHookDebugLog::append("kimi_PreToolUse_after_default_yolo_disk_sync", snapshot);
    if (!synced) {
        say("the lever could not be read again under the lock → default_yolo left as it is");
        return;
    }
    say(std::string("default_yolo synced on disk (") + boolText(*synced == 0) +
        "); if kimi is already running: enter /reload in that session — no quit needed.");
    say("on-disk default_yolo now reads " + valueSnippet(snapshot) + "; /reload picks it up.");
}

void logAnswer(Event& event) {
    const size_t stdoutChars = event.verdict == Verdict::deny ? 1 : 0;
    KimiHookDebugLog::append("kimi_PreToolUse_stdout", Json{{"kimiDecision", decisionLabel(event)},
                                                            {"stdoutChars", stdoutChars},
                                                            {"hint", kReloadHint}});
    say("stdout chars=" + std::to_string(stdoutChars) + " decision=" + decisionLabel(event));
    event.recordExtras["kimiPreToolDecision"] = decisionLabel(event);
    event.recordExtras["kimiLeverDebug"] = KimiConfigDiagnostic::leverSyncSnapshotForLog();
}

// ---- the guard --------------------------------------------------------------------------------

// Whether this session approves tools on its own: what its start recorded; for a session never
// recorded (hooks installed while it ran, a record dropped), its command line, and the file as it
// reads now. Kimi may also hold a yolo typed in the session (/yolo), which no hook can see.
bool autoSession(const Event& event) {
    const std::string home = files::homeDirectory();
    const auto kimi = KimiSessionRecord::kimiProcess();
    if (kimi && KimiSessionRecord::startedInAutoMode(*kimi)) return true;
    if (const auto key = KimiSessionRecord::sessionKey(event.fields.sessionId, kimi))
        if (const auto recorded = KimiSessionRecord::lookup(home, *key)) return *recorded;
    return KimiSessionRecord::configSaysAuto(home);
}

std::string autoSessionReason(const Event& event) {
    return "vemlo: " + PermissionHook::leverText(event) +
           "，而此 Kimi 会话自动批准工具（yolo），已拦下此次调用。输入 /reload 让 Kimi 恢复逐次询问。";
}

constexpr Rule kRules[] = {
    {"lever_auto", PermissionHook::leverIsAuto, Verdict::none},
    {"kimi_auto_session_guard", autoSession, Verdict::deny, autoSessionReason},
};
constexpr Answer kAnswers[] = {
    {Verdict::deny,
     [](const Event& event) {
         const Json answer = {{"hookSpecificOutput",
                               {{"hookEventName", "PreToolUse"},
                                {"permissionDecision", "deny"},
                                {"permissionDecisionReason", event.reason}}}};
         return json::dumpCompact(answer) + "\n";
     }},
};
constexpr PermissionHook::Assistant kPreToolUse = {
    .label = "Kimi",
    .ide = "kimi",
    .hookEvent = "PreToolUse",
    .rules = kRules,
    .answers = kAnswers,
    .afterInput = logStart,
    .afterLever = logLever,
    .beforeAnswer = followLever,
    .afterAnswer = logAnswer,
};

}  // namespace

void handlePreToolPermission() { PermissionHook::run(kPreToolUse, "KimiPreToolUse"); }

void handleSessionStart() {
    const std::string input = HookSupport::readStandardInput();
    (void)HookSupport::sendJsonRequest(Json{{"cmd", "state"}, {"value", wireValue(LedState::sessionStarted)}}, 2.0);
    const std::string home = files::homeDirectory();
    const auto kimi = KimiSessionRecord::kimiProcess();
    const auto key = KimiSessionRecord::sessionKey(PermissionHook::readInputFields(input).sessionId, kimi);
    if (!key) return;
    const bool byFlag = kimi && KimiSessionRecord::startedInAutoMode(*kimi);
    const bool byConfig = KimiSessionRecord::configSaysAuto(home);
    KimiSessionRecord::record(home, *key, byFlag || byConfig, std::time(nullptr));
    KimiHookDebugLog::append("kimi_SessionStart_recorded",
                             Json{{"autoByFlag", byFlag}, {"autoByConfig", byConfig}, {"kimiProcessFound", kimi.has_value()}});
}

}  // namespace vemlo::KimiHookHandler
