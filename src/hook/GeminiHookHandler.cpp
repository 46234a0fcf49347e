#include "hook/GeminiHookHandler.h"

#include "hook/GeminiSession.h"
#include "hook/GeminiStamp.h"
#include "hook/HookSupport.h"
#include "platform/Files.h"

#include <unistd.h>

namespace vemlo::GeminiHookHandler {
namespace {

void answer(const Json& out) { (void)HookSupport::writeAll(STDOUT_FILENO, json::dumpCompact(out) + "\n"); }

void sendState(LedState state) {
    (void)HookSupport::sendJsonRequest(Json{{"cmd", "state"}, {"value", wireValue(state)}}, 2.0);
}

void say(const std::string& text) { (void)HookSupport::writeAll(STDERR_FILENO, "[vemlo-hook] Gemini " + text + "\n"); }

}  // namespace

void handleSessionStart() {
    (void)HookSupport::readStandardInput();
    const std::optional<GeminiSession::ProcessKey> process = GeminiSession::geminiProcess(::getppid());
    if (!process)
        say("SessionStart: 找不到运行本钩子的 Gemini（node）进程，本进程的工具调用一律交回 Gemini 自己确认。");
    else if (!GeminiSession::sessionStarted(files::homeDirectory(), *process))
        say("SessionStart: 本 Gemini 进程加载的密钥未知（策略文件缺失、被改过或在它启动后才写入），"
            "拨杆 0 也交回 Gemini 自己确认；重启 gemini 即可。");
    sendState(LedState::sessionStarted);
    answer(Json::object());
}

void handleBeforeTool() {
    const HookSupport::StandardInput input = HookSupport::readAndSummarizeStandardInput("Gemini");
    const HookSupport::LeverReading lever = HookSupport::askAgentForLever(LedState::toolRunning);
    const std::optional<Json> event = json::parseObject(input.bytes);
    std::optional<std::string> secret;
    const char* processSecret = "not_asked";
    if (lever.isAuto()) {
        const std::optional<GeminiSession::ProcessKey> process = GeminiSession::geminiProcess(::getppid());
        secret = process ? GeminiSession::knownSecret(files::homeDirectory(), *process) : std::nullopt;
        processSecret = !process ? "no_gemini_process" : secret ? "known" : "unknown";
    }
    bool stamped = false;
    answer(GeminiStamp::answer(event.value_or(Json::object()), secret, &stamped));
    if (!lever.isAuto())
        HookSupport::emitPermissionStderr("Gemini", "BeforeTool", lever);
    else if (!secret)
        say("BeforeTool: 拨杆 0，但不知道本 Gemini 进程加载的密钥，交回 Gemini 自己确认；重启 gemini 即可。");
    Json record = HookSupport::permissionRecord("gemini", "BeforeTool", lever, input.summary);
    record["stamped"] = stamped;
    record["processSecret"] = processSecret;
    HookSupport::appendDiagnosticsRecord(HookSupport::kPermissionRequestLog, record);
}

void handleNotification() {
    const std::string bytes = HookSupport::readStandardInput();
    const std::optional<Json> event =
        json::parseObjectMembers(bytes, [](std::string_view key) { return key == "notification_type"; }, true);
    const Json* type = event ? HookSupport::member(*event, "notification_type") : nullptr;
    const bool permission = type && type->is_string() && type->get_ref<const std::string&>() == "ToolPermission";
    sendState(permission ? LedState::permissionRequest : LedState::notification);
    answer(Json::object());
}

void handleState(LedState state) {
    sendState(state);
    answer(Json::object());
}

}  // namespace vemlo::GeminiHookHandler
