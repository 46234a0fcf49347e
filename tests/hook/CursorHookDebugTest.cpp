#include "hook/CursorHookDebug.h"
#include "leversync/CursorCliLeverSync.h"
#include "leversync/CursorPermissionsJsonLeverSync.h"
#include "platform/Files.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace vemlo::HookSupport {
namespace {

// The exact directory for the forms a shell command takes; the fuzz seeds cover the rest by property.
TEST(InferredCdPath, ReadsTheDirectoryACommandEnters) {
    const std::pair<std::optional<std::string>, std::optional<std::string>> cases[] = {
        {"cd /Users/me/proj && swift build", "/Users/me/proj"},
        {"cd \"/Users/me/my proj\" && make", "/Users/me/my proj"},
        {"cd /srv/app; ls", "/srv/app"},
        {"cd /srv/app | cat", "/srv/app"},
        {"cd \"/Users/me/my proj && make", "\"/Users/me/my"},
        {" \n cd   /tmp/x \t\n", "/tmp/x"},
        {"cd /a b", "/a"},
        {"cd ; ls", std::nullopt},
        {std::nullopt, std::nullopt},
    };
    for (const auto& [command, expected] : cases)
        EXPECT_EQ(inferredCdPathFromShellCommand(command), expected) << command.value_or("<none>");
}

TEST(CursorRelatedEnv, KeepsRelatedNamesRedactsSecretsAndCutsValues) {
    std::string combining;  // "e" + COMBINING ACUTE ACCENT: one character, three bytes
    for (int i = 0; i < 250; ++i) combining += "e\xCC\x81";
    const Json env = cursorRelatedEnvForLog({{"TERM_PROGRAM", "vscode"},      {"term", "dumb"},
                                             {"PATH", "/bin"},                {"TERM", "xterm"},
                                             {"vscode_ipc", "/s"},            {"VSCODE", "no underscore"},
                                             {"my_cursor_dir", "/c"},         {"CURSOR_API_KEY", "sk-1"},
                                             {"cursor_session_token", "t"},   {"CURSOR_SECRETS_DIR", "/s"},
                                             {"CURSOR_Password", "p"},        {"VSCODE_GIT_ASKPASS_AUTH", "a"},
                                             {"CURSOR_CREDENTIALS", "c"},     {"CURSOR_TRACE", combining}});
    EXPECT_EQ(env, Json({{"CURSOR_API_KEY", "<redacted>"},
                         {"CURSOR_CREDENTIALS", "<redacted>"},
                         {"CURSOR_Password", "<redacted>"},
                         {"CURSOR_SECRETS_DIR", "<redacted>"},
                         {"CURSOR_TRACE", combining.substr(0, 600)},
                         {"TERM", "xterm"},
                         {"VSCODE_GIT_ASKPASS_AUTH", "<redacted>"},
                         {"cursor_session_token", "<redacted>"},
                         {"my_cursor_dir", "/c"},
                         {"term", "dumb"},
                         {"vscode_ipc", "/s"}}));

    std::vector<std::pair<std::string, std::string>> many;
    for (int i = 39; i >= 0; --i) many.emplace_back("CURSOR_ITEM_" + std::string(i < 10 ? "0" : "") + std::to_string(i), "v");
    many.emplace_back("TERM", "xterm");  // sorts after every CURSOR_ name, so the limit drops it
    const Json first = cursorRelatedEnvForLog(many);
    EXPECT_EQ(first.size(), 32u);
    EXPECT_TRUE(first.contains("CURSOR_ITEM_31") && !first.contains("CURSOR_ITEM_32") && !first.contains("TERM"));
}

TEST(CursorStdinFields, KeepsListedMembersInListOrderRendered) {
    std::string fifteen = "[";
    for (int i = 0; i < 15; ++i) fifteen += (i ? ",\"s" : "\"s") + std::to_string(i) + "\"";
    const std::pair<std::string, std::string> cases[] = {
        {"", R"({"parse":"empty_or_invalid_json"})"},
        {R"([{"cwd":"/a"}])", R"({"parse":"empty_or_invalid_json"})"},
        {R"({"command":"ls","hook_event_name":"x"})", R"({"note":"no_whitelisted_keys_in_stdin"})"},
        {R"({"cwd":"/w","other":1,"workspace_folders":["/a","/b"]})", R"({"workspace_folders":"/a, /b","cwd":"/w"})"},
        {R"({"sessionId":")" + std::string(300, 's') + R"(","version":3,"shell":true})",
         R"({"version":"3","shell":"1","sessionId":")" + std::string(220, 's') + R"("})"},
        {"{\"workspaceFolders\":" + fifteen + "]}", R"({"workspaceFolders":"s0, s1, s2, s3, s4, s5, s6, s7, s8, s9, s10, s11"})"},
    };
    for (const auto& [input, expected] : cases) EXPECT_EQ(cursorStdinDebugFields(input), *json::parse(expected)) << input;
}

// Each member of the record comes from its own source: the home's two files, standard input, the
// environment, and the directory the command enters.
TEST(CursorHookDebug, FillsEachMemberFromItsSource) {
    test::TempDir home, project;
    ASSERT_TRUE(files::createDirectories(project.file(".cursor")));
    ASSERT_TRUE(files::atomicWrite(project.file(".cursor/cli.json"), "{}"));
    ASSERT_TRUE(files::createDirectories(home.file(".cursor")));
    ASSERT_TRUE(files::atomicWrite(home.file(".cursor/cli-config.json"), R"({"permissions":{"allow":[]}})"));
    CursorCliLeverSync::applyRelaxed(home.path());
    ::setenv("CURSOR_DEBUG_TEST_MARK", "from-env", 1);
    const std::string stdinData = R"({"cwd":"/from-stdin","command":"cd /not-this"})";
    struct Case {
        std::optional<std::string> preview;
        std::optional<std::string> cdPath;
        bool projectCliJson;
    };
    for (const Case& c : {Case{"cd " + project.path() + "/ && swift build", project.path() + "/", true},
                          Case{"cd " + home.path(), home.path(), false}, Case{"git status", {}, false},
                          Case{std::nullopt, {}, false}}) {
        SCOPED_TRACE(c.preview.value_or("<none>"));
        const Json debug = buildCursorHookDebug(stdinData, c.preview, home.path());
        EXPECT_EQ(debug["userCliConfig"], CursorCliLeverSync::diagnosticSnapshotForLog(home.path()));
        EXPECT_NE(debug["userCliConfig"], CursorCliLeverSync::diagnosticSnapshotForLog(project.path()));
        EXPECT_EQ(debug["userPermissionsJson"], CursorPermissionsJsonLeverSync::diagnosticSnapshotForLog(home.path()));
        EXPECT_TRUE(debug["note"].is_string());
        EXPECT_EQ(debug["stdinFields"], Json({{"cwd", "/from-stdin"}}));
        EXPECT_EQ(debug["processEnvCursorVscode"]["CURSOR_DEBUG_TEST_MARK"], "from-env");
        EXPECT_EQ(debug.contains("inferredCdPath"), c.cdPath.has_value());
        if (!c.cdPath) continue;
        EXPECT_EQ(debug["inferredCdPath"], *c.cdPath);
        EXPECT_EQ(debug["projectCliJsonPath"], files::join(*c.cdPath, ".cursor/cli.json"));
        EXPECT_EQ(debug["projectCliJsonExists"], c.projectCliJson);
    }
    ::unsetenv("CURSOR_DEBUG_TEST_MARK");
}

}  // namespace
}  // namespace vemlo::HookSupport
