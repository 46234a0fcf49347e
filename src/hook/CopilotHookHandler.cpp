#include "hook/CopilotHookHandler.h"

#include "hook/HookSupport.h"
#include "platform/ProcessInfo.h"

#include <unistd.h>
#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace vemlo::CopilotHookHandler {
namespace {

using PermissionHook::Answer;
using PermissionHook::Event;
using PermissionHook::Rule;
using PermissionHook::Verdict;

// ---- permissionRequest ------------------------------------------------------------------------

// Copilot takes text that is not JSON, and a "deny", as a refusal; only silence lets it ask.
constexpr Rule kPermissionRules[] = {{"lever_auto", PermissionHook::leverIsAuto, Verdict::allow}};
constexpr Answer kPermissionAnswers[] = {
    {Verdict::allow, [](const Event&) { return std::string("{\"behavior\":\"allow\"}\n"); }},
};
constexpr PermissionHook::Assistant kPermissionRequest = {
    .label = "Copilot",
    .ide = "copilot",
    .hookEvent = "permissionRequest",
    .rules = kPermissionRules,
    .answers = kPermissionAnswers,
};

// ---- preToolUse -------------------------------------------------------------------------------

// The tools that only read or keep Copilot's own notes. Any other tool, one we do not know and a
// call without a tool name included, may change something.
bool readOnlyTool(const Event& event) {
    static constexpr std::string_view kReadOnly[] = {
        "view", "glob", "grep", "read_bash", "list_bash", "report_intent", "update_todo", "think",
        "fetch_copilot_cli_documentation"};
    const auto& tool = event.fields.toolName;
    return tool && std::find(std::begin(kReadOnly), std::end(kReadOnly), *tool) != std::end(kReadOnly);
}

bool truthy(std::string_view value) {
    while (!value.empty() && std::isspace(static_cast<unsigned char>(value.front()))) value.remove_prefix(1);
    while (!value.empty() && std::isspace(static_cast<unsigned char>(value.back()))) value.remove_suffix(1);
    std::string lower(value);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    return lower == "true" || lower == "1" || lower == "yes" || lower == "on" || lower == "y";
}

}  // namespace

bool startedToRunToolsUnasked(const process::ProcessInfo& copilot) {
    // Every option with which Copilot CLI 1.0 runs tools without asking: all of them, some of them
    // (--allow-tool: which ones we cannot weigh), or whatever its safety judge lets through.
    static const std::vector<std::string_view> kFlags = {"--allow-all-tools", "--allow-all", "--yolo",
                                                         "--allow-tool", "--assisted-approval"};
    return process::hasFlag(copilot, kFlags);
}

namespace {

bool runsToolsUnasked() {
    // Hooks inherit Copilot's environment; its COPILOT_ALLOW_ALL is the --allow-all-tools of a shell profile.
    if (const char* all = std::getenv("COPILOT_ALLOW_ALL"); all && truthy(all)) return true;
    const auto copilot = process::nearestAncestor(
        ::getppid(), [](const process::ProcessInfo& p) { return process::runsProgram(p, "copilot"); });
    return copilot && startedToRunToolsUnasked(*copilot);
}

bool guardMayApply(const Event& event) { return !readOnlyTool(event) && runsToolsUnasked(); }

std::string allowAllReason(const Event& event) {
    return "vemlo: " + PermissionHook::leverText(event) +
           "，此 Copilot 会话以自动批准工具的选项启动（如 --allow-all-tools），此次工具调用交回你确认。";
}

constexpr Rule kPreToolUseRules[] = {
    {"lever_auto", PermissionHook::leverIsAuto, Verdict::none},
    {"copilot_allow_all_guard", PermissionHook::always, Verdict::ask, allowAllReason},
};
// Copilot's own flat format; the nested one of Claude Code is refused.
constexpr Answer kPreToolUseAnswers[] = {
    {Verdict::ask,
     [](const Event& event) {
         return json::dumpCompact(Json{{"permissionDecision", "ask"}, {"permissionDecisionReason", event.reason}}) +
                "\n";
     }},
};
constexpr PermissionHook::Assistant kPreToolUse = {
    .label = "Copilot",
    .ide = "copilot",
    .hookEvent = "preToolUse",
    .permissionEvent = false,
    .led = LedState::toolRunning,
    .needsLever = guardMayApply,
    .rules = kPreToolUseRules,
    .answers = kPreToolUseAnswers,
};

}  // namespace

void handlePermissionRequest() { PermissionHook::run(kPermissionRequest, "CopilotPermissionRequest"); }

void handlePreToolUse() { PermissionHook::run(kPreToolUse, "CopilotPreToolUse"); }

}  // namespace vemlo::CopilotHookHandler
