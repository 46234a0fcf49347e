#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vemlo::ctl {

// How one assistant event reaches the agent: the assistant's own name for the event, and the name
// `vemloconfig-agent hook` is started with for it.
struct EventBinding {
    std::string assistantEvent;
    std::string agentEvent;
};

enum class ConfigShape {
    matcherGroups,    // {"hooks": {"<Event>": [{"matcher": "", "hooks": [{"type": "command", ...}]}]}}
    commandList,      // {"version": 1, "hooks": {"<event>": [{"command": "..."}]}}
    tomlArrayTables,  // one [[hooks]] table per event, appended as a delimited block of text
    // A file of our own, written whole and removed whole:
    // {"version": 1, "hooks": {"<event>": [{"type": "command", "bash": "...", "timeoutSec": 10}]}}
    ownCommandFile,
};

struct Assistant {
    std::string key;          // the name --only takes
    std::string displayName;  // the name people know it by
    std::string folder;       // its configuration folder under the home directory; absent = not installed
    std::string file;         // the file its hooks live in, inside `folder`
    ConfigShape shape;
    std::vector<EventBinding> events;
    // The hook timeout written for each hook, in the assistant's own unit: seconds, except Gemini
    // CLI's milliseconds. Well above the 5 s a hook waits for the agent.
    int hookTimeout = 10;
};

// Claude Code, Codex, Cursor, Kimi CLI, Copilot CLI and Gemini CLI, in that order, each with the events the agent's hook
// mode knows for it.
const std::vector<Assistant>& assistants();

// The hook mode's file name, by which our hook commands are recognised whatever folder they run from.
inline constexpr std::string_view kAgentFileName = "vemloconfig-agent";

// The command an assistant runs for one event. The assistants hand it to a shell, so a path with
// blanks or shell characters is single-quoted.
std::string hookCommand(const std::string& agentPath, std::string_view agentEvent);

// Whether `command` is ours for `agentEvent`: `<any folder>/vemloconfig-agent hook <agentEvent>`,
// the path quoted or not. A user's own wrapper around the agent is not ours.
bool isAgentHookCommand(std::string_view command, std::string_view agentEvent);

}  // namespace vemlo::ctl
