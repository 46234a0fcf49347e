#include "ctl/HookRegistrations.h"
#include "hook/HookClient.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace vemlo::ctl {
namespace {

// An event under a name the hook mode does not know, or under two assistants, would reach the
// agent wrongly; two bindings of one assistant's event would run the hook twice.
TEST(HookRegistrations, EveryEventIsKnownToTheHookModeAndBoundOnce) {
    std::set<std::string> agentEvents;
    for (const Assistant& a : assistants()) {
        std::set<std::string> own;
        EXPECT_FALSE(a.events.empty()) << a.key;
        for (const EventBinding& b : a.events) {
            EXPECT_TRUE(HookClient::lookupEvent(b.agentEvent)) << b.agentEvent;
            EXPECT_TRUE(agentEvents.insert(b.agentEvent).second) << b.agentEvent;
            EXPECT_TRUE(own.insert(b.assistantEvent).second) << a.key << " " << b.assistantEvent;
        }
    }
}

TEST(HookRegistrations, CommandsAreRecognisedByProgramAndEvent) {
    const struct {
        std::string command, event;
        bool ours;
    } cases[] = {
        {"/home/ann/.local/bin/vemloconfig-agent hook Stop", "Stop", true},
        {"vemloconfig-agent hook stop", "stop", true},
        {"'/home/a b/.local/bin/vemloconfig-agent' hook PreToolUse", "PreToolUse", true},
        {"/x/vemloconfig-agent hook SubagentStop", "Stop", false},
        {"/x/vemloconfig-agent hook stop", "Stop", false},
        {"/x/my-vemloconfig-agent hook Stop", "Stop", false},
        {"/x/vemloconfig-agent hook Stop; notify-send done", "Stop", false},
        {"/x/vemloconfig-agent hook Stop --verbose", "Stop", false},
        {"~/bin/check-bash.sh", "PreToolUse", false},
    };
    for (const auto& c : cases) EXPECT_EQ(isAgentHookCommand(c.command, c.event), c.ours) << c.command;
    // The commands we write are ours, and safe for the shell.
    const std::pair<std::string, std::string> written[] = {
        {"/home/ann/.local/bin/vemloconfig-agent", "/home/ann/.local/bin/vemloconfig-agent hook Stop"},
        {"/home/a b/bin/vemloconfig-agent", "'/home/a b/bin/vemloconfig-agent' hook Stop"},
        {"/home/o'neil/bin/vemloconfig-agent", "'/home/o'\\''neil/bin/vemloconfig-agent' hook Stop"},
        {"/home/x/$HOME;rm/vemloconfig-agent", "'/home/x/$HOME;rm/vemloconfig-agent' hook Stop"},
    };
    for (const auto& [path, command] : written) {
        EXPECT_EQ(hookCommand(path, "Stop"), command);
        EXPECT_TRUE(isAgentHookCommand(command, "Stop")) << path;
    }
}

}  // namespace
}  // namespace vemlo::ctl
