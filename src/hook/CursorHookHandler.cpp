#include "hook/CursorHookHandler.h"

#include "hook/CursorHookDebug.h"
#include "hook/HookSupport.h"
#include "leversync/LeverFollow.h"

namespace vemlo::CursorHookHandler {
namespace {

using PermissionHook::Answer;
using PermissionHook::Event;
using PermissionHook::Rule;
using PermissionHook::Verdict;

std::string answer(const char* permission) { return std::string(R"({"permission":")") + permission + "\"}\n"; }

// The answer goes out before either file is touched: Cursor is waiting on it, and nothing the lever
// syncs run into may change it.
void followLeverAndDescribe(Event& event) {
    // Without a known lever the files stay as they are: an unreachable agent says nothing about
    // where the lever stands.
    if (event.lever.switchState) LeverFollow::syncCursor(files::homeDirectory(), PermissionHook::askAgentForLeverAgain);
    event.recordExtras["cursorPermission"] = event.lever.isAuto() ? "allow" : "deny";
    std::optional<std::string> commandPreview;
    if (const Json* preview = HookSupport::member(event.input.summary, "commandPreview");
        preview && preview->is_string())
        commandPreview = preview->get<std::string>();
    // Built after the lever syncs ran, so the record shows the files as this run left them.
    event.recordExtras["cursorDebug"] = HookSupport::buildCursorHookDebug(event.input.bytes, commandPreview);
}

// Cursor has no "ask": every doubt is a denial. The record's "diagnostic" still says "ask" for a
// lever away from 0, as in every handler's records.
constexpr Rule kRules[] = {
    {"lever_auto", PermissionHook::leverIsAuto, Verdict::allow},
    {"lever_not_auto", PermissionHook::always, Verdict::deny},
};
constexpr Answer kAnswers[] = {
    {Verdict::allow, [](const Event&) { return answer("allow"); }},
    {Verdict::deny, [](const Event&) { return answer("deny"); }},
};
constexpr PermissionHook::Assistant kCursor = {
    .label = "Cursor",
    .ide = "cursor",
    .hookEvent = {},  // the event name: "preToolUse", "beforeShellExecution" or "beforeMCPExecution"
    .rules = kRules,
    .answers = kAnswers,
    .afterAnswer = followLeverAndDescribe,
};

}  // namespace

void handleToolPermission(const std::string& hookEvent) { PermissionHook::run(kCursor, hookEvent); }

}  // namespace vemlo::CursorHookHandler
