#include "hook/GeminiHookHandler.h"

#include "hook/GeminiSession.h"
#include "hook/GeminiStamp.h"
#include "hook/HookSupport.h"
#include "hook/PermissionHook.h"
#include "platform/Files.h"

#include <unistd.h>

namespace vemlo::GeminiHookHandler {
namespace {

void answer(const Json& out) { (void)HookSupport::writeAll(STDOUT_FILENO, json::dumpCompact(out) + "\n"); }

void sendState(LedState state) {
    (void)HookSupport::sendJsonRequest(Json{{"cmd", "state"}, {"value", wireValue(state)}}, 2.0);
}

void say(const std::string& text) { (void)HookSupport::writeAll(STDERR_FILENO, "[vemlo-hook] Gemini " + text + "\n"); }

using PermissionHook::Answer;
using PermissionHook::Event;
using PermissionHook::Rule;
using PermissionHook::Verdict;

// The secret of the Gemini process running this hook, looked up once the lever is known to be 0. A
// hook process answers one event, so the lookup lives here between the steps of the sequence.
std::optional<std::string> processSecret;

void findProcessSecret(Event& event) {
    if (!event.lever.isAuto()) {
        event.recordExtras["processSecret"] = "not_asked";
        return;
    }
    const std::optional<GeminiSession::ProcessKey> process = GeminiSession::geminiProcess(::getppid());
    processSecret = process ? GeminiSession::knownSecret(files::homeDirectory(), *process) : std::nullopt;
    event.recordExtras["processSecret"] = !process ? "no_gemini_process" : processSecret ? "known" : "unknown";
}

bool secretKnown(const Event& event) { return event.lever.isAuto() && processSecret.has_value(); }

std::string secretUnknownReason(const Event&) {
    return "Gemini BeforeTool: 拨杆 0，但不知道本 Gemini 进程加载的密钥，交回 Gemini 自己确认；重启 gemini 即可。";
}

// Every answer is the stamp logic's: with the secret the stamped arguments, without it {} or the
// arguments rid of a stamp the model wrote. Worked out once, before the answer is written.
std::string answerText;

void prepareAnswer(Event& event) {
    const std::optional<Json> input = json::parseObject(event.input.bytes);
    const std::optional<std::string> secret = event.verdict == Verdict::allow ? processSecret : std::nullopt;
    bool stamped = false;
    answerText = json::dumpCompact(GeminiStamp::answer(input.value_or(Json::object()), secret, &stamped)) + "\n";
    event.recordExtras["stamped"] = stamped;
}

std::string preparedAnswer(const Event&) { return answerText; }

constexpr Rule kBeforeToolRules[] = {
    {"stamp", secretKnown, Verdict::allow},
    {"secret_unknown", PermissionHook::leverIsAuto, Verdict::ask, secretUnknownReason},
    {"lever", PermissionHook::always, Verdict::ask},
};
constexpr Answer kBeforeToolAnswers[] = {{Verdict::allow, preparedAnswer}, {Verdict::ask, preparedAnswer}};
// Gemini runs BeforeTool before every tool, most of which need nobody: the LED shows the tool running.
constexpr PermissionHook::Assistant kBeforeTool = {
    .label = "Gemini",
    .ide = "gemini",
    .hookEvent = "BeforeTool",
    .led = LedState::toolRunning,
    .rules = kBeforeToolRules,
    .answers = kBeforeToolAnswers,
    .afterLever = findProcessSecret,
    .beforeAnswer = prepareAnswer,
};

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

void handleBeforeTool() { PermissionHook::run(kBeforeTool, "GeminiBeforeTool"); }

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
