#include "ctl/HookRegistrations.h"
#include "ctl/JsonHookEdit.h"

#include <gtest/gtest.h>

#include <string>

namespace vemlo::ctl {
namespace {

const std::string kAgent = "/home/ann/.local/bin/vemloconfig-agent";

Json parsed(const std::string& text) { return json::parse(text).value(); }

TEST(JsonHookEdit, InstallsOnceAndUninstallsBackToTheUsersHooks) {
    const struct {
        size_t assistant;  // 0 Claude Code, 1 Codex, 2 Cursor
        std::string before;
        int removedByInstall;
        std::string afterUninstall;  // empty: `before`
    } cases[] = {
        {0,
         R"({"hooks": {"Stop": [{"hooks": [{"command": "say done"}, {"command": "/o/vemloconfig-agent hook Stop"}]}]}})",
         1, R"({"hooks": {"Stop": [{"hooks": [{"command": "say done"}]}]}})"},
        // An empty list goes with ours: the same meaning, one key less.
        {0, R"({"hooks": {"Stop": []}, "model": "opus"})", 0, R"({"model": "opus"})"},
        {1, R"({"hooks": {"PermissionRequest": [{"matcher": "Bash", "hooks": []}]}})", 0, ""},
        {2,
         R"({"version": 1, "hooks": {"stop": [{"command": "say done"}, {"command": "/o/vemloconfig-agent hook stop"}]}})",
         1, R"({"version": 1, "hooks": {"stop": [{"command": "say done"}]}})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.before);
        const Assistant& a = assistants().at(c.assistant);
        Json doc = parsed(c.before);
        const auto installed = JsonHookEdit::install(doc, a, kAgent);
        ASSERT_EQ(installed.error, "");
        EXPECT_EQ(installed.removed, c.removedByInstall);
        EXPECT_EQ(JsonHookEdit::registeredEvents(doc, a), static_cast<int>(a.events.size()));
        EXPECT_EQ(json::dumpCompact(doc).find("/o/"), std::string::npos);
        for (const EventBinding& b : a.events) {
            const Json& added = doc["hooks"][b.assistantEvent].back();
            const Json& handler = a.shape == ConfigShape::commandList ? added : added["hooks"][0];
            EXPECT_EQ(handler["command"], kAgent + " hook " + b.agentEvent);
            if (a.shape != ConfigShape::matcherGroups) continue;
            EXPECT_EQ(added["matcher"], "");
            EXPECT_EQ(handler["type"], "command");
            EXPECT_EQ(handler["timeout"], 10);
        }
        Json again = doc;
        EXPECT_FALSE(JsonHookEdit::install(again, a, kAgent).changed() || again != doc);
        EXPECT_EQ(JsonHookEdit::uninstall(doc, a).removed, static_cast<int>(a.events.size()));
        EXPECT_EQ(doc, parsed(c.afterUninstall.empty() ? c.before : c.afterUninstall));
    }
}

}  // namespace
}  // namespace vemlo::ctl
