#include "ctl/HookRegistrations.h"
#include "hook/HookClient.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace vemlo::ctl {
namespace {

// Every event name the agent's hook mode knows, in its table's order; the registrations must
// cover each exactly once, or an assistant's event would reach the agent under a wrong name.
const std::vector<std::string> kAgentEvents = {"Notification",
                                               "PermissionRequest",
                                               "PostToolUse",
                                               "PreToolUse",
                                               "SessionStart",
                                               "Stop",
                                               "SubagentStop",
                                               "TaskCompleted",
                                               "UserPromptSubmit",
                                               "SessionEnd",
                                               "PreCompact",
                                               "sessionStart",
                                               "sessionEnd",
                                               "postToolUse",
                                               "stop",
                                               "preToolUse",
                                               "beforeShellExecution",
                                               "beforeMCPExecution",
                                               "CodexSessionStart",
                                               "CodexPostToolUse",
                                               "CodexPreToolUse",
                                               "CodexUserPromptSubmit",
                                               "CodexStop",
                                               "CodexPermissionRequest",
                                               "KimiNotification",
                                               "KimiSessionStart",
                                               "KimiSessionEnd",
                                               "KimiPreToolUse",
                                               "KimiPostToolUse",
                                               "KimiUserPromptSubmit",
                                               "KimiStop",
                                               "CopilotSessionStart",
                                               "CopilotUserPromptSubmitted",
                                               "CopilotPreToolUse",
                                               "CopilotPostToolUse",
                                               "CopilotAgentStop",
                                               "CopilotSessionEnd",
                                               "CopilotNotification",
                                               "CopilotPermissionRequest"};

TEST(HookRegistrations, CoverEveryAgentEventOnceUnderTheAssistantsOwnNames) {
    std::multiset<std::string> registered;
    std::map<std::string, std::set<std::string>> ownNames;
    for (const Assistant& a : assistants()) {
        for (const EventBinding& b : a.events) {
            registered.insert(b.agentEvent);
            EXPECT_TRUE(ownNames[a.key].insert(b.assistantEvent).second) << a.key << " " << b.assistantEvent;
        }
    }
    EXPECT_EQ(registered, std::multiset<std::string>(kAgentEvents.begin(), kAgentEvents.end()));
    // Every event that install registers is one the hook mode knows.
    for (const std::string& event : kAgentEvents) EXPECT_TRUE(HookClient::lookupEvent(event)) << event;
    EXPECT_EQ(ownNames["codex"], (std::set<std::string>{"SessionStart", "PreToolUse", "PermissionRequest",
                                                        "PostToolUse", "UserPromptSubmit", "Stop"}));
    EXPECT_EQ(ownNames["kimi"], (std::set<std::string>{"Notification", "SessionStart", "SessionEnd", "PreToolUse",
                                                       "PostToolUse", "UserPromptSubmit", "Stop"}));
}

struct CommandCase {
    const char* name;
    std::string command;
    std::string event;
    bool ours;
};

void PrintTo(const CommandCase& c, std::ostream* os) { *os << c.name; }

const std::vector<CommandCase> kCommands = {
    {"InstalledPath", "/home/ann/.local/bin/vemloconfig-agent hook Stop", "Stop", true},
    {"OtherFolder", "/opt/vemlo/vemloconfig-agent hook KimiStop", "KimiStop", true},
    {"BareName", "vemloconfig-agent hook stop", "stop", true},
    {"QuotedPath", "'/home/a b/.local/bin/vemloconfig-agent' hook PreToolUse", "PreToolUse", true},
    {"OtherEvent", "/x/vemloconfig-agent hook SubagentStop", "Stop", false},
    {"CaseMatters", "/x/vemloconfig-agent hook stop", "Stop", false},
    {"LongerProgramName", "/x/my-vemloconfig-agent hook Stop", "Stop", false},
    {"UsersWrapper", "/x/vemloconfig-agent hook Stop; notify-send done", "Stop", false},
    {"ExtraArgument", "/x/vemloconfig-agent hook Stop --verbose", "Stop", false},
    {"SomeoneElsesHook", "~/bin/check-bash.sh", "PreToolUse", false},
};

class Commands : public testing::TestWithParam<CommandCase> {};

TEST_P(Commands, AreRecognisedByProgramAndEvent) {
    EXPECT_EQ(isAgentHookCommand(GetParam().command, GetParam().event), GetParam().ours);
}

INSTANTIATE_TEST_SUITE_P(Cases, Commands, testing::ValuesIn(kCommands),
                         [](const testing::TestParamInfo<CommandCase>& info) { return std::string(info.param.name); });

TEST(HookRegistrations, CommandsWeWriteAreOursAndSafeForTheShell) {
    struct Case {
        std::string path;
        std::string command;
    };
    const Case cases[] = {
        {"/home/ann/.local/bin/vemloconfig-agent", "/home/ann/.local/bin/vemloconfig-agent hook Stop"},
        {"/home/a b/bin/vemloconfig-agent", "'/home/a b/bin/vemloconfig-agent' hook Stop"},
        {"/home/o'neil/bin/vemloconfig-agent", "'/home/o'\\''neil/bin/vemloconfig-agent' hook Stop"},
        {"/home/x/$HOME;rm/vemloconfig-agent", "'/home/x/$HOME;rm/vemloconfig-agent' hook Stop"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(hookCommand(c.path, "Stop"), c.command);
        EXPECT_TRUE(isAgentHookCommand(hookCommand(c.path, "Stop"), "Stop")) << c.path;
    }
}

}  // namespace
}  // namespace vemlo::ctl
