#include "ctl/HookRegistrations.h"

#include <gtest/gtest.h>

#include <string>

namespace vemlo::ctl {
namespace {

TEST(HookRegistrations, CommandsAreRecognisedByProgramAndEvent) {
    const struct {
        std::string command, event;
        bool ours;
    } cases[] = {
        {"/home/ann/.local/bin/vemloconfig-agent hook Stop", "Stop", true},
        {"'/home/a b/.local/bin/vemloconfig-agent' hook PreToolUse", "PreToolUse", true},
        {"/x/vemloconfig-agent hook SubagentStop", "Stop", false},
        {"/x/vemloconfig-agent hook stop", "Stop", false},
        {"/x/my-vemloconfig-agent hook Stop", "Stop", false},
        {"/x/vemloconfig-agent hook Stop; notify-send done", "Stop", false},
        {"/x/vemloconfig-agent hook Stop --verbose", "Stop", false},
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
