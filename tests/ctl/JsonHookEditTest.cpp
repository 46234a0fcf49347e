#include "ctl/HookRegistrations.h"
#include "ctl/JsonHookEdit.h"

#include <gtest/gtest.h>

#include <string>

namespace vemlo::ctl {
namespace {

const Assistant& claude() { return assistants().at(0); }
const Assistant& codex() { return assistants().at(1); }
const Assistant& cursor() { return assistants().at(2); }
const std::string kAgent = "/home/ann/.local/bin/vemloconfig-agent";

Json parsed(const std::string& text) { return json::parse(text).value(); }

// A document is either edited completely or not at all.
TEST(JsonHookEdit, AShapeItCannotEditIsLeftAsItWas) {
    const std::pair<const Assistant*, std::string> cases[] = {
        {&claude(), R"([{"hooks": {}}])"},
        {&claude(), R"({"hooks": []})"},
        {&claude(), R"({"hooks": {"Stop": {"command": "x"}}})"},
        {&codex(), R"({"hooks": {"PreToolUse": "x"}})"},
        {&cursor(), R"({"version": 1, "hooks": {"stop": "say done"}})"},
    };
    for (const auto& [assistant, document] : cases) {
        for (bool installing : {true, false}) {
            Json doc = parsed(document);
            const auto out =
                installing ? JsonHookEdit::install(doc, *assistant, kAgent) : JsonHookEdit::uninstall(doc, *assistant);
            EXPECT_FALSE(out.error.empty()) << document;
            EXPECT_FALSE(out.changed());
            EXPECT_EQ(doc, parsed(document));
        }
    }
}

TEST(JsonHookEdit, InstallsOnceAndUninstallsBackToTheUsersHooks) {
    const struct {
        const Assistant* assistant;
        std::string before;
        int removedByInstall;
        std::string afterUninstall;  // empty: `before`
    } cases[] = {
        {&claude(), "{}", 0, ""},
        {&claude(),
         R"({"hooks": {"Stop": [{"matcher": "", "hooks": [{"command": "/o/vemloconfig-agent hook Stop"}]}]}})", 1,
         "{}"},
        {&claude(),
         R"({"hooks": {"Stop": [{"hooks": [{"command": "say done"}, {"command": "/o/vemloconfig-agent hook Stop"}]}]}})",
         1, R"({"hooks": {"Stop": [{"hooks": [{"command": "say done"}]}]}})"},
        {&claude(),
         R"({"hooks": {"Stop": [{"hooks": [{"command": "/a/vemloconfig-agent hook Stop"}]},
                                {"hooks": [{"command": "/a/vemloconfig-agent hook Stop"}]}]}})",
         2, "{}"},
        // An empty list goes with ours: the same meaning, one key less.
        {&claude(), R"({"hooks": {"Stop": []}, "model": "opus"})", 0, R"({"model": "opus"})"},
        {&codex(), R"({"hooks": {"PermissionRequest": [{"matcher": "Bash", "hooks": []}]}})", 0, ""},
        {&cursor(),
         R"({"version": 1, "hooks": {"stop": [{"command": "say done"}, {"command": "/o/vemloconfig-agent hook stop"}]}})",
         1, R"({"version": 1, "hooks": {"stop": [{"command": "say done"}]}})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.before);
        const Assistant& a = *c.assistant;
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

TEST(JsonHookEdit, SerialisesInTheFilesOwnStyle) {
    const Json doc = parsed(R"({"a": [1], "é": "ü"})");
    const std::pair<std::string, std::string> cases[] = {
        {"", "{\n  \"a\": [\n    1\n  ],\n  \"é\": \"ü\"\n}\n"},
        {"{\n    \"x\": 1\n}", "{\n    \"a\": [\n        1\n    ],\n    \"é\": \"ü\"\n}"},
        {"{\n\t\"x\": 1\n}\n", "{\n\t\"a\": [\n\t\t1\n\t],\n\t\"é\": \"ü\"\n}\n"},
        {"{\"x\":1}\n", "{\"a\":[1],\"é\":\"ü\"}\n"},
        {"{ \"x\": 1 }", "{\"a\":[1],\"é\":\"ü\"}"},
        {"{\r\n  \"x\": 1\r\n}\r\n", "{\r\n  \"a\": [\r\n    1\r\n  ],\r\n  \"é\": \"ü\"\r\n}\r\n"},
        {"{\n\n   \"x\": 1}", "{\n   \"a\": [\n      1\n   ],\n   \"é\": \"ü\"\n}"},
    };
    for (const auto& [original, expected] : cases) EXPECT_EQ(JsonHookEdit::serializeLike(doc, original), expected);
}

}  // namespace
}  // namespace vemlo::ctl
