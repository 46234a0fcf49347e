#include "ctl/HookRegistrations.h"
#include "ctl/JsonHookEdit.h"

#include <gtest/gtest.h>

#include <string>

namespace vemlo::ctl {
namespace {

const std::string kAgent = "/home/ann/.local/bin/vemloconfig-agent";

Json parsed(const std::string& text) { return json::parse(text).value(); }

// The files are edited as text: what install adds sits in its neighbours' layout, every byte of the
// user's stays (number spellings, one-line groups, tabs, CRLF), and uninstall gives the bytes back.
TEST(JsonHookEdit, InstallsOnceAndUninstallsBackToTheUsersBytes) {
    const struct {
        size_t assistant;  // 0 Claude Code, 1 Codex, 2 Cursor
        std::string before;
        int removedByInstall;
        std::string afterUninstall;  // empty: `before`, byte for byte
        std::string keptByInstall;   // a piece of `before` that install leaves as it is
    } cases[] = {
        {0,
         "{\n  \"n\": 1.10,\n  \"big\": 123456789012345678901234567890,\n  \"hooks\": {\n    \"Stop\": "
         "[{\"matcher\": \"\", \"hooks\": [{\"type\": \"command\", \"command\": \"say\"}]}]\n  },\n  \"e\": 1E2\n}\n",
         0, "", "\"Stop\": [{\"matcher\": \"\", \"hooks\": [{\"type\": \"command\", \"command\": \"say\"}]}, {"},
        {0,
         R"({"hooks": {"Stop": [{"hooks": [{"command": "say done"}, {"command": "/o/vemloconfig-agent hook Stop"}]}]}})",
         1, R"({"hooks": {"Stop": [{"hooks": [{"command": "say done"}]}]}})", "{\"command\": \"say done\"}"},
        // An empty list goes with ours: the same meaning, one key less.
        {0, R"({"hooks": {"Stop": []}, "model": "opus"})", 0, R"({"model": "opus"})", ", \"model\": \"opus\"}"},
        {0, "{}", 0, "", ""},
        {0, "{\r\n\t\"a\": [ 1.0 ,2 ]\r\n}", 0, "", "\"a\": [ 1.0 ,2 ],\r\n\t\"hooks\": {\r\n\t\t\"Notification\": [\r\n"},
        {1, R"({"hooks": {"PermissionRequest": [{"matcher": "Bash", "hooks": []}]}})", 0, "", ""},
        {2,
         "{\"version\":1,\"hooks\":{\"stop\":[{\"command\":\"say\"},{\"command\":\"/o/vemloconfig-agent hook "
         "stop\"}]}}",
         1, "{\"version\":1,\"hooks\":{\"stop\":[{\"command\":\"say\"}]}}", "{\"command\":\"say\"},{\"command\":\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.before);
        const Assistant& a = assistants().at(c.assistant);
        const auto installed = JsonHookEdit::install(c.before, a, kAgent);
        ASSERT_EQ(installed.error, "");
        EXPECT_EQ(installed.removed, c.removedByInstall);
        EXPECT_NE(installed.text.find(c.keptByInstall), std::string::npos) << installed.text;
        const Json doc = parsed(installed.text);
        EXPECT_EQ(JsonHookEdit::registeredEvents(doc, a), static_cast<int>(a.events.size()));
        EXPECT_EQ(installed.text.find("/o/"), std::string::npos);
        for (const EventBinding& b : a.events) {
            const Json& added = doc["hooks"][b.assistantEvent].back();
            const Json& handler = a.shape == ConfigShape::commandList ? added : added["hooks"][0];
            EXPECT_EQ(handler["command"], kAgent + " hook " + b.agentEvent);
            if (a.shape != ConfigShape::matcherGroups) continue;
            EXPECT_EQ(added["matcher"], "");
            EXPECT_EQ(handler["type"], "command");
            EXPECT_EQ(handler["timeout"], 10);
        }
        EXPECT_FALSE(JsonHookEdit::install(installed.text, a, kAgent).changed());
        const auto removed = JsonHookEdit::uninstall(installed.text, a);
        EXPECT_EQ(removed.removed, static_cast<int>(a.events.size()));
        EXPECT_EQ(removed.text, c.afterUninstall.empty() ? c.before : c.afterUninstall);
    }
}

}  // namespace
}  // namespace vemlo::ctl
