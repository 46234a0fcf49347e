#include "hook/KimiConfigDiagnostic.h"
#include "hook/KimiHookDebugLog.h"

#include "leversync/KimiConfigLeverSync.h"
#include "platform/Files.h"
#include "support/Process.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <vector>

namespace vemlo {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> keysOf(const Json& object) {
    std::vector<std::string> keys;
    for (const auto& [key, value] : object.items()) keys.push_back(key);
    return keys;
}

// A temporary home and a temporary working directory, both put back afterwards.
class KimiDebugLog : public testing::Test {
protected:
    test::TempDir home;
    test::TempDir workDir;
    fs::path previousDir = fs::current_path();
    const char* previousHomeValue = std::getenv("HOME");
    std::string previousHome = previousHomeValue ? previousHomeValue : "";
    std::string logPath = home.file("Library/Application Support/VemloConfig/diagnostics/kimi-hook-debug.log");

    void SetUp() override {
        fs::current_path(workDir.path());
        ::setenv("HOME", home.path().c_str(), 1);
    }
    void TearDown() override {
        fs::current_path(previousDir);
        if (previousHomeValue)
            ::setenv("HOME", previousHome.c_str(), 1);
        else
            ::unsetenv("HOME");
    }
};

// Base keys first, then the details; a detail with a base key replaces the base value in its place.
// Details that are not an object cost the record and say so; a working directory that is gone is null.
TEST_F(KimiDebugLog, BaseKeysThenDetailsInTheDiagnosticsFolder) {
    EXPECT_EQ(KimiHookDebugLog::logFilePath(), logPath);
    KimiHookDebugLog::append("first", Json{{"stdinBytes", 12}});
    KimiHookDebugLog::append("original", Json{{"extra", true}, {"event", "replaced"}, {"cwd", nullptr}});
    testing::internal::CaptureStderr();
    KimiHookDebugLog::append("odd", Json::array({1, 2}));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[tesk-kimi] debug log JSON encode failed event=odd\n");
    const std::string gone = workDir.file("gone");
    fs::create_directory(gone);
    fs::current_path(gone);
    fs::remove(gone);
    KimiHookDebugLog::append("orphan");

    const std::vector<Json> written = test::readJsonLines(logPath);
    ASSERT_EQ(written.size(), 3u);
    EXPECT_EQ(keysOf(written[0]), (std::vector<std::string>{"ts", "event", "pid", "cwd", "stdinBytes"}));
    EXPECT_TRUE(std::regex_match(written[0]["ts"].get<std::string>(),
                                 std::regex("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z")));
    EXPECT_EQ(written[0]["event"], "first");
    EXPECT_EQ(written[0]["pid"], ::getpid());
    EXPECT_EQ(written[0]["cwd"], workDir.path()) << "the working directory is named, not written to";
    EXPECT_EQ(keysOf(written[1]), (std::vector<std::string>{"ts", "event", "pid", "cwd", "extra"}));
    EXPECT_EQ(written[1]["event"], "replaced");
    EXPECT_TRUE(written[1]["cwd"].is_null());
    EXPECT_EQ(written[2]["event"], "orphan");
    EXPECT_TRUE(written[2]["cwd"].is_null());
    EXPECT_TRUE(fs::is_empty(workDir.path()));
}

// A repository the assistant works in may hold "kimi-hook-debug.log" as anything at all. Whatever it
// is, the log goes to the diagnostics folder and the thing in the working directory stays as it was.
TEST_F(KimiDebugLog, WorkingDirectoryTrapsAreNeverTouched) {
    test::TempDir elsewhere;
    ASSERT_TRUE(files::atomicWrite(elsewhere.file("bashrc"), "# mine\n"));
    const std::string trap = workDir.file("kimi-hook-debug.log");
    for (const std::string& target : {elsewhere.file("bashrc"), elsewhere.file("rc"), std::string("/dev/stdout"), std::string()}) {
        fs::remove(trap);
        fs::remove(logPath);
        if (target.empty())
            ASSERT_EQ(::mkfifo(trap.c_str(), 0600), 0);
        else
            fs::create_symlink(target, trap);
        const fs::file_status before = fs::symlink_status(trap);
        testing::internal::CaptureStdout();
        KimiHookDebugLog::append("kimi_PreToolUse_start", Json{{"hintLogFile", KimiHookDebugLog::logFilePath()}});
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << target;
        EXPECT_EQ(test::readJsonLines(logPath).size(), 1u) << target;
        EXPECT_EQ(fs::symlink_status(trap).type(), before.type()) << target;
        EXPECT_EQ(files::readFile(elsewhere.file("bashrc")), "# mine\n") << target;
        EXPECT_FALSE(fs::exists(elsewhere.file("rc"))) << target;
    }
}

TEST(KimiProbe, ReadsTheFirstValueAfterTheKey) {
    const std::string family = "\U0001F468\u200D\U0001F469\u200D\U0001F467";  // one character of five code points
    std::string longValue, familyValue, familyCut;
    for (int i = 0; i < 40; ++i) {
        longValue += "x";
        familyValue += family;
        if (i < 32) familyCut += family;
    }
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {std::string(KimiConfigLeverSync::kAutoTemplate) + "\n", "true"},
        {"default_yolo=false\n", "false"},
        {"[a]\ndefault_yolo = 1\ndefault_yolo = 2\n", "1"},
        {"default_yolo = " + longValue, longValue.substr(0, 32)},
        {"default_yolo = " + familyValue, familyCut},
        {"# default_yolo = true\n", std::nullopt},
        {"default_yolo =\n  true\n", "true"},
        {"default_yolo =", std::nullopt},
    };
    for (const auto& [text, snippet] : cases) EXPECT_EQ(KimiConfigDiagnostic::probeDefaultYoloValue(text), snippet) << text;
}

TEST(KimiConfigDiagnostic, SnapshotDescribesTheFileAndTheLeverSnapshot) {
    test::TempDir home;
    const std::string config = KimiConfigLeverSync::configPath(home.path());
    const Json missing = KimiConfigDiagnostic::leverSyncSnapshotForLog(home.path());
    EXPECT_EQ(missing["kimiConfigPath"], config);
    EXPECT_EQ(missing["kimiConfigExists"], false);
    EXPECT_EQ(missing["leverSnapshotBakExists"], false);
    fs::create_directories(home.file(".kimi"));
    ASSERT_TRUE(files::atomicWrite(config, "model = \"k2\"\n"));
    const Json noKey = KimiConfigDiagnostic::snapshotForLog(home.path());
    EXPECT_EQ(noKey["kimiConfigExists"], true);
    EXPECT_TRUE(noKey.contains("default_yolo_valueSnippet") && noKey["default_yolo_valueSnippet"].is_null());
    EXPECT_FALSE(noKey.contains("default_yolo_lineno_hint") || noKey.contains("leverSnapshotBakExists"));
    KimiConfigLeverSync::enableYoloInConfig(home.path());
    const Json synced = KimiConfigDiagnostic::leverSyncSnapshotForLog(home.path());
    EXPECT_EQ(synced["default_yolo_valueSnippet"], "true");
    EXPECT_EQ(synced["default_yolo_lineno_hint"], "matched");
    EXPECT_EQ(synced["leverSnapshotBakExists"], true);
}

}  // namespace
}  // namespace vemlo
