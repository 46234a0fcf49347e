#include "hook/CursorHookDebug.h"
#include "leversync/CursorCliLeverSync.h"
#include "leversync/CursorPermissionsJsonLeverSync.h"
#include "platform/Files.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace vemlo::HookSupport {
namespace {

struct CdCase {
    const char* name;
    std::optional<std::string> command;
    std::optional<std::string> expected;
};

void PrintTo(const CdCase& c, std::ostream* os) { *os << c.name; }

class InferredCdPath : public testing::TestWithParam<CdCase> {};

TEST_P(InferredCdPath, ReadsTheDirectoryACommandEnters) {
    EXPECT_EQ(inferredCdPathFromShellCommand(GetParam().command), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cursor, InferredCdPath,
    testing::Values(
        CdCase{"and_and_with_blanks", "cd /Users/me/proj && swift build", "/Users/me/proj"},
        CdCase{"quoted_with_blank", "cd \"/Users/me/my proj\" && make", "/Users/me/my proj"},
        CdCase{"semicolon", "cd /srv/app; ls", "/srv/app"}, CdCase{"pipe_after_blank", "cd /srv/app | cat", "/srv/app"},
        CdCase{"and_and_without_blanks", "cd /srv/app&&make", "/srv/app&&make"},
        CdCase{"unclosed_quote", "cd \"/Users/me/my proj && make", "\"/Users/me/my"},
        CdCase{"empty_quotes", "cd \"\"", ""}, CdCase{"surrounding_white_space", " \n cd   /tmp/x \t\n", "/tmp/x"},
        CdCase{"stops_at_blank", "cd /a b", "/a"},
        CdCase{"stops_at_no_break_space",
               "cd /a\xC2\xA0"
               "b",
               "/a"},
        CdCase{"tilde_and_variables_as_written", "cd ~/$PROJ", "~/$PROJ"},
        CdCase{"relative", "cd build && ninja", "build"}, CdCase{"bare_cd", "cd", std::nullopt},
        CdCase{"cd_and_blanks", "cd   ", std::nullopt}, CdCase{"cd_then_separator", "cd ; ls", std::nullopt},
        CdCase{"tab_after_cd", "cd\t/tmp", std::nullopt}, CdCase{"upper_case", "CD /tmp", std::nullopt},
        CdCase{"other_command", "ls -la /tmp", std::nullopt},
        CdCase{"cd_later_in_command", "make && cd /tmp", std::nullopt},
        CdCase{"no_preview", std::nullopt, std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

using Environment = std::vector<std::pair<std::string, std::string>>;

struct EnvCase {
    const char* name;
    Environment environment;
    std::vector<std::string> expectedNames;
};

Environment fortyCursorNames() {
    Environment out;
    for (int i = 39; i >= 0; --i) {  // unsorted on purpose
        char name[32];
        std::snprintf(name, sizeof name, "CURSOR_ITEM_%02d", i);
        out.emplace_back(name, "v");
    }
    out.emplace_back("TERM", "xterm");  // sorts after every CURSOR_ name, so the limit drops it
    return out;
}

std::vector<std::string> firstCursorNames(int count) {
    std::vector<std::string> out;
    for (int i = 0; i < count; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "CURSOR_ITEM_%02d", i);
        out.push_back(name);
    }
    return out;
}

void PrintTo(const EnvCase& c, std::ostream* os) { *os << c.name; }

class CursorRelatedEnv : public testing::TestWithParam<EnvCase> {};

TEST_P(CursorRelatedEnv, KeepsTheFirstMatchingNamesInOrder) {
    const Json env = cursorRelatedEnvForLog(GetParam().environment);
    std::vector<std::string> names;
    for (const auto& [key, value] : env.items()) names.push_back(key);
    EXPECT_EQ(names, GetParam().expectedNames);
}

INSTANTIATE_TEST_SUITE_P(Cursor, CursorRelatedEnv,
                         testing::Values(EnvCase{"forty_cursor_names", fortyCursorNames(), firstCursorNames(32)},
                                         EnvCase{"term_forms",
                                                 {{"TERM_PROGRAM", "vscode"},
                                                  {"term", "dumb"},
                                                  {"PATH", "/bin"},
                                                  {"TERM", "xterm"},
                                                  {"TERMINAL", "x"},
                                                  {"vscode_ipc", "/s"},
                                                  {"VSCODE_PID", "1"},
                                                  {"VSCODE", "no underscore"},
                                                  {"my_cursor_dir", "/c"}},
                                                 {"TERM", "VSCODE_PID", "my_cursor_dir", "term", "vscode_ipc"}},
                                         EnvCase{"nothing_related", {{"HOME", "/root"}, {"SHELL", "/bin/sh"}}, {}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CursorRelatedEnv, RedactsValuesOfNamesThatSuggestASecret) {
    const Json env = cursorRelatedEnvForLog({{"CURSOR_API_KEY", "sk-1"},
                                             {"cursor_session_token", "t"},
                                             {"CURSOR_SECRETS_DIR", "/s"},
                                             {"CURSOR_Password", "p"},
                                             {"VSCODE_GIT_ASKPASS_AUTH", "a"},
                                             {"CURSOR_CREDENTIALS", "c"},
                                             {"CURSOR_TRACE_ID", "visible"},
                                             {"TERM", "xterm"}});
    EXPECT_EQ(env, Json({{"CURSOR_API_KEY", "<redacted>"},
                         {"CURSOR_CREDENTIALS", "<redacted>"},
                         {"CURSOR_Password", "<redacted>"},
                         {"CURSOR_SECRETS_DIR", "<redacted>"},
                         {"CURSOR_TRACE_ID", "visible"},
                         {"TERM", "xterm"},
                         {"VSCODE_GIT_ASKPASS_AUTH", "<redacted>"},
                         {"cursor_session_token", "<redacted>"}}));
}

TEST(CursorRelatedEnv, CutsValuesToTwoHundredCharacters) {
    std::string combining;  // "e" + COMBINING ACUTE ACCENT: one character, three bytes
    for (int i = 0; i < 250; ++i) combining += "e\xCC\x81";
    const Json env = cursorRelatedEnvForLog({{"CURSOR_TRACE", combining}});
    EXPECT_EQ(env["CURSOR_TRACE"].get<std::string>(), combining.substr(0, 600));
}

struct StdinCase {
    const char* name;
    std::string stdinData;
    std::string expected;  // JSON text
};

void PrintTo(const StdinCase& c, std::ostream* os) { *os << c.name; }

class CursorStdinFields : public testing::TestWithParam<StdinCase> {};

TEST_P(CursorStdinFields, KeepsWhitelistedMembersRendered) {
    EXPECT_EQ(cursorStdinDebugFields(GetParam().stdinData), json::parse(GetParam().expected).value());
}

std::string fifteenStrings() {
    std::string out = "[";
    for (int i = 0; i < 15; ++i) out += (i ? ",\"s" : "\"s") + std::to_string(i) + "\"";
    return out + "]";
}

INSTANTIATE_TEST_SUITE_P(
    Cursor, CursorStdinFields,
    testing::Values(StdinCase{"empty", "", R"({"parse":"empty_or_invalid_json"})"},
                    StdinCase{"array", "[{\"cwd\":\"/a\"}]", R"({"parse":"empty_or_invalid_json"})"},
                    StdinCase{"broken", "{\"cwd\":", R"({"parse":"empty_or_invalid_json"})"},
                    StdinCase{"empty_object", "{}", R"({"note":"no_whitelisted_keys_in_stdin"})"},
                    StdinCase{"no_listed_keys", R"({"command":"ls","hook_event_name":"x"})",
                              R"({"note":"no_whitelisted_keys_in_stdin"})"},
                    StdinCase{"list_order_not_input_order", R"({"cwd":"/w","other":1,"workspace_folders":["/a","/b"]})",
                              R"({"workspace_folders":"/a, /b","cwd":"/w"})"},
                    StdinCase{"numbers_and_long_strings",
                              R"({"sessionId":")" + std::string(300, 's') + R"(","version":3})",
                              R"({"version":"3","sessionId":")" + std::string(220, 's') + R"("})"},
                    StdinCase{"booleans_as_numbers", R"({"shell":true,"root":false})", R"({"root":"0","shell":"1"})"},
                    StdinCase{"array_of_fifteen_strings", "{\"workspaceFolders\":" + fifteenStrings() + "}",
                              R"({"workspaceFolders":"s0, s1, s2, s3, s4, s5, s6, s7, s8, s9, s10, s11"})"}),
    [](const auto& info) { return std::string(info.param.name); });

std::vector<std::string> keysOf(const Json& object) {
    std::vector<std::string> out;
    for (const auto& [key, value] : object.items()) out.push_back(key);
    return out;
}

TEST(CursorHookDebug, AddsTheProjectCliJsonOfTheDirectoryEntered) {
    test::TempDir home;
    test::TempDir project;
    files::createDirectories(project.file(".cursor"));
    ASSERT_TRUE(files::atomicWrite(project.file(".cursor/cli.json"), "{}"));
    const std::string stdinData = R"({"cwd":"/w","command":"cd x"})";

    const Json debug = buildCursorHookDebug(stdinData, "cd " + project.path() + "/ && swift build", home.path());
    EXPECT_EQ(keysOf(debug), (std::vector<std::string>{"userCliConfig", "userPermissionsJson", "note", "stdinFields",
                                                       "processEnvCursorVscode", "inferredCdPath", "projectCliJsonPath",
                                                       "projectCliJsonExists"}));
    EXPECT_EQ(debug["userCliConfig"], CursorCliLeverSync::diagnosticSnapshotForLog(home.path()));
    EXPECT_EQ(debug["userPermissionsJson"], CursorPermissionsJsonLeverSync::diagnosticSnapshotForLog(home.path()));
    const std::string note = debug["note"].get<std::string>();
    EXPECT_TRUE(
        note.starts_with("IDE「Not in allowlist」用 ~/.cursor/permissions.json 的 terminalAllowlist，"
                         "与 userCliConfig（cli-config=CLI）分离；见 https://"))
        << note;
    EXPECT_TRUE(note.ends_with("/permissions")) << note;
    EXPECT_EQ(debug["stdinFields"], cursorStdinDebugFields(stdinData));
    EXPECT_EQ(debug["inferredCdPath"], project.path() + "/");
    EXPECT_EQ(debug["projectCliJsonPath"], project.path() + "/.cursor/cli.json");
    EXPECT_EQ(debug["projectCliJsonExists"], true);

    const Json elsewhere = buildCursorHookDebug(stdinData, "cd " + home.path(), home.path());
    EXPECT_EQ(elsewhere["projectCliJsonExists"], false);
}

TEST(CursorHookDebug, WithoutACdOnlyTheFiveFixedMembers) {
    test::TempDir home;
    for (const auto& preview :
         {std::optional<std::string>{}, std::optional<std::string>{"cd"}, std::optional<std::string>{"git status"}}) {
        const Json debug = buildCursorHookDebug("", preview, home.path());
        EXPECT_EQ(keysOf(debug), (std::vector<std::string>{"userCliConfig", "userPermissionsJson", "note",
                                                           "stdinFields", "processEnvCursorVscode"}));
    }
}

}  // namespace
}  // namespace vemlo::HookSupport
