#include "hook/CursorHookDebug.h"
#include "hook/HookSupport.h"
#include "hook/KimiConfigDiagnostic.h"
#include "hook/KimiHookDebugLog.h"
#include "leversync/CursorCliLeverSync.h"
#include "leversync/CursorPermissionsJsonLeverSync.h"
#include "leversync/KimiConfigLeverSync.h"
#include "platform/Files.h"
#include "support/Process.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <filesystem>

// The hooks' in-process parts: reading and summarising standard input, and what the Cursor record
// and the Kimi debug log hold beyond the decision.
namespace vemlo {
namespace {

using namespace HookSupport;
using test::TempDir;

std::string repeat(std::string_view piece, size_t times) {
    std::string out;
    for (size_t i = 0; i < times; ++i) out += piece;
    return out;
}

// The exact directory for the forms a shell command takes; the fuzz seeds cover the rest by property.
TEST(InferredCdPath, ReadsTheDirectoryACommandEnters) {
    const std::pair<std::optional<std::string>, std::optional<std::string>> cases[] = {
        {"cd /Users/me/proj && swift build", "/Users/me/proj"},
        {"cd \"/Users/me/my proj\" && make", "/Users/me/my proj"},
        {"cd /srv/app; ls", "/srv/app"},
        {"cd \"/Users/me/my proj && make", "\"/Users/me/my"},
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
    const Json env = cursorRelatedEnvForLog({{"TERM_PROGRAM", "vscode"},
                                             {"term", "dumb"},
                                             {"TERM", "xterm"},
                                             {"vscode_ipc", "/s"},
                                             {"VSCODE", "no underscore"},
                                             {"my_cursor_dir", "/c"},
                                             {"CURSOR_API_KEY", "sk-1"},
                                             {"cursor_session_token", "t"},
                                             {"CURSOR_SECRETS_DIR", "/s"},
                                             {"CURSOR_Password", "p"},
                                             {"VSCODE_GIT_ASKPASS_AUTH", "a"},
                                             {"CURSOR_CREDENTIALS", "c"},
                                             {"CURSOR_TRACE", combining}});
    const std::string hidden = "<redacted>";
    EXPECT_EQ(env, Json({{"CURSOR_API_KEY", hidden},
                         {"CURSOR_CREDENTIALS", hidden},
                         {"CURSOR_Password", hidden},
                         {"CURSOR_SECRETS_DIR", hidden},
                         {"CURSOR_TRACE", combining.substr(0, 600)},
                         {"TERM", "xterm"},
                         {"VSCODE_GIT_ASKPASS_AUTH", hidden},
                         {"cursor_session_token", hidden},
                         {"my_cursor_dir", "/c"},
                         {"term", "dumb"},
                         {"vscode_ipc", "/s"}}));

    std::vector<std::pair<std::string, std::string>> many{{"TERM", "xterm"}};  // sorts last: the limit drops it
    for (int i = 39; i >= 0; --i)
        many.emplace_back("CURSOR_ITEM_" + std::string(i < 10 ? "0" : "") + std::to_string(i), "v");
    const Json first = cursorRelatedEnvForLog(many);
    EXPECT_TRUE(first.size() == 32 && first.contains("CURSOR_ITEM_31") && !first.contains("CURSOR_ITEM_32") &&
                !first.contains("TERM"));
}

TEST(CursorStdinFields, KeepsListedMembersInListOrderRendered) {
    const std::pair<std::string, std::string> cases[] = {
        {"", R"({"parse":"empty_or_invalid_json"})"},
        {R"({"command":"ls","hook_event_name":"x"})", R"({"note":"no_whitelisted_keys_in_stdin"})"},
        {R"({"cwd":"/w","other":1,"workspace_folders":["/a","/b"]})", R"({"workspace_folders":"/a, /b","cwd":"/w"})"},
        {R"({"sessionId":")" + std::string(300, 's') + R"(","version":3,"shell":true})",
         R"({"version":"3","shell":"1","sessionId":")" + std::string(220, 's') + R"("})"},
    };
    for (const auto& [input, expected] : cases)
        EXPECT_EQ(cursorStdinDebugFields(input), *json::parse(expected)) << input;
}

// Each member of the record comes from its own source: the home's two files, standard input, the
// environment, and the directory the command enters.
TEST(CursorHookDebug, FillsEachMemberFromItsSource) {
    test::TempDir home, project;
    ASSERT_TRUE(files::createDirectories(project.file(".cursor")) && files::createDirectories(home.file(".cursor")));
    ASSERT_TRUE(files::atomicWrite(project.file(".cursor/cli.json"), "{}") &&
                files::atomicWrite(home.file(".cursor/cli-config.json"), R"({"permissions":{"allow":[]}})"));
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
        EXPECT_EQ(debug["userPermissionsJson"], CursorPermissionsJsonLeverSync::diagnosticSnapshotForLog(home.path()));
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

namespace fs = std::filesystem;

std::vector<std::string> keysOf(const Json& object) {
    std::vector<std::string> keys;
    for (const auto& [key, value] : object.items()) keys.push_back(key);
    return keys;
}

// Base keys first, then the details; a detail with a base key replaces the base value in its place.
// Details that are not an object cost the record and say so; a working directory that is gone is null.
TEST(KimiDebugLog, BaseKeysThenDetailsInTheDiagnosticsFolder) {
    test::TempDir home, workDir;
    const fs::path previousDir = fs::current_path();
    const std::string previousHome = std::getenv("HOME") ? std::getenv("HOME") : "/";
    ::setenv("HOME", home.path().c_str(), 1);
    fs::current_path(workDir.path());
    KimiHookDebugLog::append("first", Json{{"stdinBytes", 12}});
    KimiHookDebugLog::append("original", Json{{"extra", true}, {"event", "replaced"}, {"cwd", nullptr}});
    KimiHookDebugLog::append("odd", Json::array({1, 2}));  // not an object: no record
    fs::create_directory(workDir.file("gone"));
    fs::current_path(workDir.file("gone"));
    fs::remove(workDir.file("gone"));
    KimiHookDebugLog::append("orphan");
    fs::current_path(previousDir);
    ::setenv("HOME", previousHome.c_str(), 1);

    const std::vector<Json> written = test::readJsonLines(test::diagnosticsFile(home.path(), "kimi-hook-debug.log"));
    ASSERT_EQ(written.size(), 3u);
    EXPECT_EQ(keysOf(written[0]), (std::vector<std::string>{"ts", "event", "pid", "cwd", "stdinBytes"}));
    EXPECT_TRUE(written[0]["event"] == "first" && written[0]["pid"] == ::getpid());
    EXPECT_EQ(written[0]["cwd"], workDir.path()) << "the working directory is named, not written to";
    EXPECT_EQ(keysOf(written[1]), (std::vector<std::string>{"ts", "event", "pid", "cwd", "extra"}));
    EXPECT_TRUE(written[1]["event"] == "replaced" && written[1]["cwd"].is_null());
    EXPECT_TRUE(written[2]["event"] == "orphan" && written[2]["cwd"].is_null());
    EXPECT_TRUE(fs::is_empty(workDir.path()));
}

TEST(KimiProbe, ReadsTheFirstValueAfterTheKey) {
    const std::string family = "\U0001F468\u200D\U0001F469\u200D\U0001F467";  // one character of five code points
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {std::string(KimiConfigLeverSync::kAutoTemplate) + "\n", "true"},
        {"[a]\ndefault_yolo = 1\ndefault_yolo = 2\n", "1"},
        {"default_yolo = " + repeat("x", 40), repeat("x", 32)},
        {"default_yolo = " + repeat(family, 40), repeat(family, 32)},
        {"# default_yolo = true\n", std::nullopt},
        {"default_yolo =\n  true\n", "true"},
    };
    for (const auto& [text, snippet] : cases)
        EXPECT_EQ(KimiConfigDiagnostic::probeDefaultYoloValue(text), snippet) << text;
}

// What the fuzz target's property leaves open: how numbers that are not plain integers are read.
TEST(IntValue, TruncatesAndSaturates) {
    constexpr int64_t kMax = std::numeric_limits<int64_t>::max(), kMin = std::numeric_limits<int64_t>::min();
    const std::pair<const char*, std::optional<int64_t>> cases[] = {
        {"-2.9", -2}, {"18446744073709551615", kMax}, {"-1e300", kMin}, {R"("9223372036854775808")", {}}};
    for (const auto& [text, expected] : cases)
        EXPECT_EQ([](const Json& v) { return intValue(&v); }(*json::parse(text)), expected) << text;
}

TEST(StdinContext, RenamesAndCutsTheMembersItKeeps) {
    const Json all = HookSupport::parseStdinContext(
        R"({"cwd":"/w","session_id":"s","hook_event_name":"E","name":"n","command":"ls","tool_name":"T","x":{"tool_name":"no"}})",
        "Claude");
    EXPECT_EQ(json::dumpCompact(all), R"({"stdinBytes":116,"parser":"Claude","tool_name":"T","commandPreview":"ls",)"
                                      R"("hook_event_name":"E","session_id_short":"s","cwdPreview":"/w"})");
    EXPECT_EQ(json::dumpCompact(HookSupport::parseStdinContext(R"({"tool_name":3,"name":"n"})", "Kimi")),
              R"({"stdinBytes":26,"parser":"Kimi","name":"n"})");
    const Json cut = HookSupport::parseStdinContext(
        json::dumpCompact(
            Json{{"command", repeat("c", 200)}, {"session_id", repeat("s", 40)}, {"cwd", repeat("中", 130)}}),
        "Claude");
    EXPECT_EQ(cut, Json({{"stdinBytes", cut["stdinBytes"]},
                         {"parser", "Claude"},
                         {"commandPreview", repeat("c", 120)},
                         {"session_id_short", repeat("s", 16)},
                         {"cwdPreview", repeat("中", 120)}}));
    // A command whose 120th character is one of these keeps it whole.
    for (const std::string atCut : {"\U0001F468\u200D\U0001F469\u200D\U0001F467", "e\u0301", "\U0001F44D\U0001F3FD",
                                    "\U0001F1EF\U0001F1F5", "\u1100\u1161\u11A8", "\r\n"}) {
        const Json context = HookSupport::parseStdinContext(
            json::dumpCompact(Json{{"command", repeat("a", 119) + atCut + "tail"}}), "C");
        EXPECT_EQ(context["commandPreview"], repeat("a", 119) + atCut);
    }
}

// Past the limit (a small one here) only the start was read, which is not parsed even where it is whole.
TEST(StandardInput, IsReadUpToTheLimitAndACutOneIsNotParsed) {
    constexpr size_t kLimit = 64 * 1024;
    const std::string atLimit = "{\"tool_name\":\"" + std::string(kLimit - 16, 'x') + "\"}";
    for (const std::string& input : {atLimit, atLimit + " "}) {
        TempDir dir;
        ASSERT_TRUE(files::atomicWrite(dir.file("stdin"), input));
        const int saved = ::dup(STDIN_FILENO), fd = ::open(dir.file("stdin").c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_EQ(::dup2(fd, STDIN_FILENO), STDIN_FILENO);
        const HookSupport::StandardInput read = HookSupport::readAndSummarizeStandardInput("Claude", kLimit);
        ::dup2(saved, STDIN_FILENO);
        ::close(saved);
        ::close(fd);
        const bool cut = input.size() > kLimit;
        EXPECT_EQ(read.bytes, cut ? "" : input);
        EXPECT_EQ(read.summary["stdinBytes"], kLimit);
        EXPECT_EQ(read.summary.value("stdinCut", false), cut);
        EXPECT_EQ(read.summary.contains("tool_name"), !cut);
    }
}

TEST(StringifyDebugValue, Bounds) {
    std::string letters = "[";
    for (char c = 'a'; c < 'a' + 15; ++c) letters += std::string(c == 'a' ? "" : ",") + "\"" + c + "\"";
    const std::tuple<std::string, int64_t, std::string> cases[] = {
        {"\"\U0001F44D\U0001F3FDok\"", 1, "\U0001F44D\U0001F3FD"},
        {"123456", 2, "123456"},
        {letters + "]", 220, "a, b, c, d, e, f, g, h, i, j, k, l"},
        {R"({"k":"v"})", 4, R"({"k")"},
        {R"("x")", -1, ""}};
    for (const auto& [text, maxLen, expected] : cases)
        EXPECT_EQ(HookSupport::stringifyDebugValue(*json::parse(text), maxLen), expected) << text;
}

// Three different explanations, each naming the assistant, the hook and the lever it saw.
TEST(PermissionStderr, ExplainsEveryOutcomeButLeverZero) {
    const auto message = [](bool hasReply, std::optional<int64_t> lever) {
        return HookSupport::permissionStderrMessage("Cursor", "beforeShellExecution", hasReply, lever);
    };
    EXPECT_EQ(message(true, 0), "");
    for (const std::string& m : {message(true, -3), message(true, {}), message(false, {})})
        EXPECT_TRUE(m.starts_with("[vemlo-hook] Cursor beforeShellExecution: ") && m.ends_with("\n")) << m;
    const auto has = [](const std::string& text, const char* piece) { return text.find(piece) != std::string::npos; };
    EXPECT_TRUE(has(message(true, -3), "switchState=-3") && !has(message(true, {}), "switchState="));
    EXPECT_TRUE(has(message(false, {}), "5s") && message(true, {}) != message(false, {}));
}

TEST(AppendLine, AppendsExactlyWhatItIsGivenAndNothingElse) {
    TempDir dir;
    HookSupport::appendLine("{\"a\":1}\n", dir.file("log"));
    HookSupport::appendLine("b", dir.file("log"));
    EXPECT_EQ(files::readFile(dir.file("log")), "{\"a\":1}\nb");
    HookSupport::appendLine("x\n", dir.file("missing/log"));
    HookSupport::appendLine("bad \xff\n", dir.file("new"));
    EXPECT_FALSE(files::exists(dir.file("missing")) || files::exists(dir.file("new")));
}

}  // namespace
}  // namespace vemlo
