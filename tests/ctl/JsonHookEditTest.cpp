#include "ctl/HookRegistrations.h"
#include "ctl/JsonHookEdit.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace vemlo::ctl {
namespace {

const Assistant& claude() { return assistants().at(0); }
const Assistant& codex() { return assistants().at(1); }
const Assistant& cursor() { return assistants().at(2); }

const std::string kAgent = "/home/ann/.local/bin/vemloconfig-agent";

Json parsed(const std::string& text) { return json::parse(text).value(); }

// Hooks of ours in the whole document, whatever event or path.
int oursIn(const Json& value) {
    if (value.is_string()) return value.get<std::string>().find("vemloconfig-agent hook ") != std::string::npos;
    int n = 0;
    if (value.is_structured())
        for (const Json& v : value) n += oursIn(v);
    return n;
}

struct ShapeError {
    const char* name;
    const Assistant* assistant;
    std::string document;
};

void PrintTo(const ShapeError& c, std::ostream* os) { *os << c.name; }

const std::vector<ShapeError> kShapeErrors = {
    {"TopLevelArray", &claude(), R"([{"hooks": {}}])"},
    {"HooksIsAList", &claude(), R"({"hooks": []})"},
    {"EventIsAnObject", &claude(), R"({"hooks": {"Stop": {"command": "x"}}})"},
    {"CodexEventUnderItsOwnName", &codex(), R"({"hooks": {"PreToolUse": "x"}})"},
    {"CursorEventIsAString", &cursor(), R"({"version": 1, "hooks": {"stop": "say done"}})"},
};

class JsonShapeError : public testing::TestWithParam<ShapeError> {};

// A document is either edited completely or not at all.
TEST_P(JsonShapeError, LeavesTheDocumentAsItWas) {
    const ShapeError& c = GetParam();
    for (bool installing : {true, false}) {
        Json doc = parsed(c.document);
        JsonHookEdit::Outcome out =
            installing ? JsonHookEdit::install(doc, *c.assistant, kAgent) : JsonHookEdit::uninstall(doc, *c.assistant);
        EXPECT_FALSE(out.error.empty());
        EXPECT_FALSE(out.changed());
        EXPECT_EQ(doc, parsed(c.document));
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, JsonShapeError, testing::ValuesIn(kShapeErrors),
                         [](const testing::TestParamInfo<ShapeError>& info) { return std::string(info.param.name); });

struct Edit {
    const char* name;
    const Assistant* assistant;
    std::string before;
    int removedByInstall;
    std::string afterUninstall;  // empty: `before`
};

void PrintTo(const Edit& c, std::ostream* os) { *os << c.name; }

const std::vector<Edit> kEdits = {
    {"ClaudeEmpty", &claude(), "{}", 0, ""},
    {"ClaudeOlderPathAlone", &claude(),
     R"({"hooks": {"Stop": [{"matcher": "",
                            "hooks": [{"type": "command", "command": "/old/vemloconfig-agent hook Stop"}]}]}})",
     1, "{}"},
    {"ClaudeOursBesideTheUsersInOneGroup", &claude(),
     R"({"hooks": {"Stop": [{"hooks": [{"type": "command", "command": "say done"},
                                       {"type": "command", "command": "/old/vemloconfig-agent hook Stop"}]}]}})",
     1, R"({"hooks": {"Stop": [{"hooks": [{"type": "command", "command": "say done"}]}]}})"},
    {"ClaudeOursTwice", &claude(),
     R"({"hooks": {"Stop": [{"hooks": [{"command": "/home/ann/.local/bin/vemloconfig-agent hook Stop"}]},
                            {"hooks": [{"command": "/home/ann/.local/bin/vemloconfig-agent hook Stop"}]}]}})",
     2, "{}"},
    // An empty list goes with ours: the same meaning, one key less.
    {"ClaudeUsersEmptyList", &claude(), R"({"hooks": {"Stop": []}, "model": "opus"})", 0, R"({"model": "opus"})"},
    {"CodexOwnEventNames", &codex(), R"({"hooks": {"PermissionRequest": [{"matcher": "Bash", "hooks": []}]}})", 0, ""},
    {"CursorOlderPath", &cursor(),
     R"({"version": 1, "hooks": {"stop": [{"command": "say done"}, {"command": "/old/vemloconfig-agent hook stop"}]}})",
     1, R"({"version": 1, "hooks": {"stop": [{"command": "say done"}]}})"},
};

class JsonEdit : public testing::TestWithParam<Edit> {};

TEST_P(JsonEdit, InstallsOnceAndUninstallsBackToTheUsersHooks) {
    const Edit& c = GetParam();
    const Assistant& a = *c.assistant;
    Json doc = parsed(c.before);
    JsonHookEdit::Outcome installed = JsonHookEdit::install(doc, a, kAgent);
    ASSERT_EQ(installed.error, "");
    EXPECT_EQ(installed.removed, c.removedByInstall);
    EXPECT_EQ(JsonHookEdit::registeredEvents(doc, a), static_cast<int>(a.events.size()));
    EXPECT_EQ(oursIn(doc), static_cast<int>(a.events.size()));
    for (const EventBinding& b : a.events) {
        const Json& added = doc["hooks"][b.assistantEvent].back();
        const Json& handler = a.shape == ConfigShape::commandList ? added : added["hooks"][0];
        EXPECT_EQ(handler["command"], kAgent + " hook " + b.agentEvent);
        if (a.shape == ConfigShape::matcherGroups) {
            EXPECT_EQ(added["matcher"], "");
            EXPECT_EQ(handler["type"], "command");
            EXPECT_EQ(handler["timeout"], 10);
        }
    }
    Json again = doc;
    EXPECT_FALSE(JsonHookEdit::install(again, a, kAgent).changed());
    EXPECT_EQ(again, doc);

    JsonHookEdit::Outcome removed = JsonHookEdit::uninstall(doc, a);
    EXPECT_EQ(removed.removed, static_cast<int>(a.events.size()));
    EXPECT_EQ(doc, parsed(c.afterUninstall.empty() ? c.before : c.afterUninstall));
}

INSTANTIATE_TEST_SUITE_P(Cases, JsonEdit, testing::ValuesIn(kEdits),
                         [](const testing::TestParamInfo<Edit>& info) { return std::string(info.param.name); });

TEST(JsonHookEdit, SerialisesInTheFilesOwnStyle) {
    const Json doc = parsed(R"({"a": [1], "é": "ü"})");
    struct Case {
        std::string original;
        std::string expected;
    };
    const Case cases[] = {
        {"", "{\n  \"a\": [\n    1\n  ],\n  \"é\": \"ü\"\n}\n"},
        {"{\n    \"x\": 1\n}", "{\n    \"a\": [\n        1\n    ],\n    \"é\": \"ü\"\n}"},
        {"{\n\t\"x\": 1\n}\n", "{\n\t\"a\": [\n\t\t1\n\t],\n\t\"é\": \"ü\"\n}\n"},
        {"{\"x\":1}\n", "{\"a\":[1],\"é\":\"ü\"}\n"},
        {"{ \"x\": 1 }", "{\"a\":[1],\"é\":\"ü\"}"},
        {"{\r\n  \"x\": 1\r\n}\r\n", "{\r\n  \"a\": [\r\n    1\r\n  ],\r\n  \"é\": \"ü\"\r\n}\r\n"},
        {"{\n\n   \"x\": 1}", "{\n   \"a\": [\n      1\n   ],\n   \"é\": \"ü\"\n}"},
    };
    for (const Case& c : cases) EXPECT_EQ(JsonHookEdit::serializeLike(doc, c.original), c.expected) << c.original;
}

}  // namespace
}  // namespace vemlo::ctl
