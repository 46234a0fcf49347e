#include "hook/ClaudeHookHandler.h"

#include "hook/HookSupport.h"

#include <algorithm>

namespace vemlo::ClaudeHookHandler {
namespace {

using PermissionHook::Answer;
using PermissionHook::Event;
using PermissionHook::Rule;
using PermissionHook::Verdict;

std::string permissionAnswer(const char* behavior) {
    return std::string(R"({"hookSpecificOutput":{"hookEventName":"PermissionRequest",)") + R"("decision":{"behavior":")" +
           behavior + "\"}}}\n";
}

void noteBehavior(Event& event) { event.recordExtras["claudeBehavior"] = event.lever.isAuto() ? "allow" : "ask"; }

constexpr Rule kPermissionRules[] = {
    {"lever_auto", PermissionHook::leverIsAuto, Verdict::allow},
    {"lever_not_auto", PermissionHook::always, Verdict::ask},
};
constexpr Answer kPermissionAnswers[] = {
    {Verdict::allow, [](const Event&) { return permissionAnswer("allow"); }},
    {Verdict::ask, [](const Event&) { return permissionAnswer("ask"); }},
};
constexpr PermissionHook::Assistant kPermissionRequest = {
    .label = "Claude",
    .ide = "claude",
    .hookEvent = "PermissionRequest",
    .rules = kPermissionRules,
    .answers = kPermissionAnswers,
    .beforeAnswer = noteBehavior,
};

// The modes in which Claude Code asks the person itself (through PermissionRequest, which follows
// the lever per call). Every other mode (bypassPermissions, acceptEdits, dontAsk and whatever comes
// next) runs some tools unasked. A missing mode is taken for the default: Claude Code sends one with
// every tool call, and an input without it is not a session we can tell anything about.
bool asksItself(const Event& event) {
    const auto& mode = event.fields.permissionMode;
    return !mode || *mode == "default" || *mode == "plan";
}

// The tools Claude Code's default mode runs without asking: they read, search or keep its own
// notes. Everything else, a tool we do not know and an input without a tool name included, is one
// it would ask about (Bash, Edit, Write, NotebookEdit, WebFetch, WebSearch, MCP tools, ...).
bool defaultModeAsks(const Event& event) {
    static constexpr std::string_view kUnasked[] = {"Read",         "Glob",      "Grep",     "LS",
                                                    "NotebookRead", "TodoWrite", "TodoRead", "Task",
                                                    "Agent",        "ExitPlanMode", "BashOutput"};
    const auto& tool = event.fields.toolName;
    return !tool || std::find(std::begin(kUnasked), std::end(kUnasked), *tool) == std::end(kUnasked);
}

bool guardMayApply(const Event& event) { return !asksItself(event) && defaultModeAsks(event); }

std::string bypassReason(const Event& event) {
    return "vemlo: " + PermissionHook::leverText(event) + "，permission_mode=" +
           event.fields.permissionMode.value_or("") + " 的会话不会逐次询问，此次工具调用交回你确认。";
}

constexpr Rule kPreToolUseRules[] = {
    {"lever_auto", PermissionHook::leverIsAuto, Verdict::none},
    {"claude_bypass_mode_guard", PermissionHook::always, Verdict::ask, bypassReason},
};
constexpr Answer kPreToolUseAnswers[] = {
    {Verdict::ask,
     [](const Event& event) {
         const Json answer = {{"hookSpecificOutput",
                               {{"hookEventName", "PreToolUse"},
                                {"permissionDecision", "ask"},
                                {"permissionDecisionReason", event.reason}}}};
         return json::dumpCompact(answer) + "\n";
     }},
};
constexpr PermissionHook::Assistant kPreToolUse = {
    .label = "Claude",
    .ide = "claude",
    .hookEvent = "PreToolUse",
    .permissionEvent = false,
    .led = LedState::toolRunning,
    .needsLever = guardMayApply,
    .rules = kPreToolUseRules,
    .answers = kPreToolUseAnswers,
};

}  // namespace

void handlePermissionRequest() { PermissionHook::run(kPermissionRequest, "PermissionRequest"); }

void handlePreToolUse() { PermissionHook::run(kPreToolUse, "PreToolUse"); }

}  // namespace vemlo::ClaudeHookHandler
