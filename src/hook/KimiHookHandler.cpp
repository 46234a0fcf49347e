#include "hook/KimiHookHandler.h"

#include "hook/HookSupport.h"
#include "hook/KimiConfigDiagnostic.h"
#include "hook/KimiHookDebugLog.h"
#include "leversync/KimiConfigLeverSync.h"

#include <unistd.h>

namespace vemlo::KimiHookHandler {
namespace {

constexpr const char* kAutoDecision = "auto_no_stdout_no_veto";
constexpr const char* kManualDecision = "manual_lever_no_stdout";

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

}  // namespace

void handlePreToolPermission() {
    const HookSupport::StandardInput input = HookSupport::readAndSummarizeStandardInput("Kimi");
    const Json& tool = input.summary;
    // The bytes read, also when the input was cut and not kept.
    const uint64_t stdinBytes = tool.value("stdinBytes", uint64_t{0});
    const std::string logPath = KimiHookDebugLog::logFilePath();
    KimiHookDebugLog::append("kimi_PreToolUse_start",
                             Json{{"stdinBytes", stdinBytes}, {"toolPreview", tool}, {"hintLogFile", logPath}});
    say("PreToolUse hook start bytes=" + std::to_string(stdinBytes) + "; full log=" + logPath);

    const HookSupport::LeverReading lever = HookSupport::askAgentForLever();
    const std::optional<int64_t>& switchState = lever.switchState;
    // Only a lever known to be at 0 turns Kimi's own approval on; every doubt leaves it to the person.
    const bool isAuto = lever.isAuto();
    KimiHookDebugLog::append("kimi_PreToolUse_agent_reply", Json{{"agentReplyNil", !lever.reply},
                                                                 {"switchState", optionalInteger(switchState)},
                                                                 {"computedIsAuto", isAuto},
                                                                 {"replyPreview", kimiReplyPreview(lever.reply)}});
    say("agent socket reply: switchState=" + (switchState ? std::to_string(*switchState) : std::string("nil")) +
        " isAuto=" + boolText(isAuto));

    if (!isAuto) HookSupport::emitPermissionStderr("Kimi", "PreToolUse", lever);
    const std::string decision = isAuto ? kAutoDecision : kManualDecision;

    KimiHookDebugLog::append("kimi_PreToolUse_probe_before_lever_sync",
                             Json{{"kimiLeverDebug_preview", KimiConfigDiagnostic::snapshotForLog()},
                                  {"switchStateNil", !switchState},
                                  {"kimiRunnerNote", kRunnerNote}});

    if (!switchState) {
        // Without a lever position Kimi keeps whatever `default_yolo` it has: guessing either way could
        // switch its automatic approval on behind the person's back or off in the middle of their work.
        say(std::string("no switchState from agent → skipped default_yolo sync; kimiPreTool=") + decision +
            "; check BLE/agent");
    } else {
        // What the sync did goes to the debug log as it happens.
        const KimiConfigLeverSync::Report report = [](std::string_view event, const Json& details) {
            KimiHookDebugLog::append(event, details);
        };
        if (isAuto)
            KimiConfigLeverSync::enableYoloInConfig(report);
        else
            KimiConfigLeverSync::disableDefaultYoloForManualDial(report);
        const Json synced = KimiConfigDiagnostic::leverSyncSnapshotForLog();
        KimiHookDebugLog::append("kimi_PreToolUse_after_default_yolo_disk_sync", synced);
        say(std::string("default_yolo synced on disk (") + boolText(isAuto) +
            "); if kimi is already running: enter /reload in that session — no quit needed.");
        say("on-disk default_yolo now reads " + valueSnippet(synced) + "; /reload picks it up.");
    }

    KimiHookDebugLog::append("kimi_PreToolUse_stdout",
                             Json{{"kimiDecision", decision}, {"stdoutChars", 0}, {"hint", kReloadHint}});
    say("stdout chars=0 decision=" + decision);

    Json record = HookSupport::permissionRecord("kimi", "PreToolUse", lever, tool);
    record["kimiPreToolDecision"] = decision;
    record["kimiLeverDebug"] = KimiConfigDiagnostic::leverSyncSnapshotForLog();
    HookSupport::appendDiagnosticsRecord(HookSupport::kPermissionRequestLog, record);
}

}  // namespace vemlo::KimiHookHandler
