#include "ctl/HookRegistrations.h"

namespace vemlo::ctl {
namespace {

std::vector<EventBinding> sameNames(std::initializer_list<const char*> names) {
    std::vector<EventBinding> out;
    for (const char* n : names) out.push_back({n, n});
    return out;
}

// Codex and Kimi use the same event names as Claude Code; the agent tells them apart by a prefix.
std::vector<EventBinding> prefixed(std::string_view prefix, std::initializer_list<const char*> names) {
    std::vector<EventBinding> out;
    for (const char* n : names) out.push_back({n, std::string(prefix) + n});
    return out;
}

bool isShellSafe(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("/._+-@%:,=").find(c) != std::string_view::npos;
}

}  // namespace

const std::vector<Assistant>& assistants() {
    static const std::vector<Assistant> all = {
        {"claude", "Claude Code", ".claude", "settings.json", ConfigShape::matcherGroups,
         sameNames({"Notification", "PermissionRequest", "PostToolUse", "PreToolUse", "SessionStart", "Stop",
                    "SubagentStop", "TaskCompleted", "UserPromptSubmit", "SessionEnd", "PreCompact"})},
        {"codex", "Codex", ".codex", "hooks.json", ConfigShape::matcherGroups,
         prefixed("Codex",
                  {"SessionStart", "PostToolUse", "PreToolUse", "UserPromptSubmit", "Stop", "PermissionRequest"})},
        {"cursor", "Cursor", ".cursor", "hooks.json", ConfigShape::commandList,
         sameNames({"sessionStart", "sessionEnd", "postToolUse", "stop", "preToolUse", "beforeShellExecution",
                    "beforeMCPExecution"})},
        {"kimi", "Kimi CLI", ".kimi", "config.toml", ConfigShape::tomlArrayTables,
         prefixed("Kimi", {"Notification", "SessionStart", "SessionEnd", "PreToolUse", "PostToolUse",
                           "UserPromptSubmit", "Stop"})},
        // Copilot loads every hooks/*.json of its folder with no enabling step, so ours is a file apart.
        {"copilot",
         "Copilot CLI",
         ".copilot",
         "hooks/vemloconfig-agent.json",
         ConfigShape::ownCommandFile,
         {{"sessionStart", "CopilotSessionStart"},
          {"userPromptSubmitted", "CopilotUserPromptSubmitted"},
          {"preToolUse", "CopilotPreToolUse"},
          {"postToolUse", "CopilotPostToolUse"},
          {"agentStop", "CopilotAgentStop"},
          {"sessionEnd", "CopilotSessionEnd"},
          {"notification", "CopilotNotification"},
          {"permissionRequest", "CopilotPermissionRequest"}}},
        // Gemini CLI also needs its policy file (GeminiPolicySetup): its hooks cannot grant anything.
        {"gemini",
         "Gemini CLI",
         ".gemini",
         "settings.json",
         ConfigShape::matcherGroups,
         prefixed("Gemini",
                  {"SessionStart", "BeforeAgent", "BeforeTool", "AfterTool", "AfterAgent", "SessionEnd", "Notification"}),
         10000},
    };
    return all;
}

std::string hookCommand(const std::string& agentPath, std::string_view agentEvent) {
    bool safe = !agentPath.empty();
    for (char c : agentPath) safe = safe && isShellSafe(c);
    std::string out;
    if (safe) {
        out = agentPath;
    } else {
        out.push_back('\'');
        for (char c : agentPath) {
            if (c == '\'')
                out.append("'\\''");
            else
                out.push_back(c);
        }
        out.push_back('\'');
    }
    out += " hook ";
    out += agentEvent;
    return out;
}

bool isAgentHookCommand(std::string_view command, std::string_view agentEvent) {
    const std::string tail = " hook " + std::string(agentEvent);
    if (command.size() < tail.size() || command.substr(command.size() - tail.size()) != tail) return false;
    std::string_view path = command.substr(0, command.size() - tail.size());
    if (path.size() >= 2 && path.front() == '\'' && path.back() == '\'') path = path.substr(1, path.size() - 2);
    if (path == kAgentFileName) return true;
    const std::string suffix = "/" + std::string(kAgentFileName);
    return path.size() > suffix.size() && path.substr(path.size() - suffix.size()) == suffix;
}

}  // namespace vemlo::ctl
