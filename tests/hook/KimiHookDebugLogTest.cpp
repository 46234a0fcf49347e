#include "hook/KimiConfigDiagnostic.h"
#include "hook/KimiHookDebugLog.h"

#include "hook/HookSupport.h"
#include "leversync/KimiConfigLeverSync.h"
#include "platform/Files.h"
#include "platform/Json.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <regex>
#include <sstream>
#include <vector>

namespace vemlo {
namespace {

namespace fs = std::filesystem;

std::vector<Json> records(const std::string& path) {
    std::vector<Json> out;
    std::istringstream lines(files::readFile(path).value_or(""));
    for (std::string line; std::getline(lines, line);) out.push_back(json::parseObject(line).value_or(Json()));
    return out;
}

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

TEST_F(KimiDebugLog, RecordsGoToTheDiagnosticsFolderWithBaseKeysThenDetails) {
    EXPECT_EQ(KimiHookDebugLog::logFilePath(), logPath);
    EXPECT_EQ(KimiHookDebugLog::logFilePath(), files::join(HookSupport::diagnosticsDirectory(), "kimi-hook-debug.log"));
    KimiHookDebugLog::append("first", Json{{"stdinBytes", 12}, {"toolPreview", {{"parser", "Kimi"}}}});
    KimiHookDebugLog::append("second");
    KimiHookDebugLog::append("original", Json{{"extra", true}, {"event", "replaced"}, {"cwd", nullptr}});

    const std::vector<Json> written = records(logPath);
    ASSERT_EQ(written.size(), 3u);
    const Json& first = written[0];
    EXPECT_EQ(keysOf(first), (std::vector<std::string>{"ts", "event", "pid", "cwd", "stdinBytes", "toolPreview"}));
    EXPECT_TRUE(std::regex_match(first["ts"].get<std::string>(),
                                 std::regex("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z")))
        << first["ts"];
    EXPECT_EQ(first["event"], "first");
    EXPECT_EQ(first["pid"], ::getpid());
    EXPECT_EQ(first["cwd"], workDir.path()) << "the working directory is named, not written to";
    EXPECT_EQ(first["toolPreview"]["parser"], "Kimi");
    EXPECT_EQ(written[1]["event"], "second");
    // A details member with a base key replaces the base value in its place.
    EXPECT_EQ(keysOf(written[2]), (std::vector<std::string>{"ts", "event", "pid", "cwd", "extra"}));
    EXPECT_EQ(written[2]["event"], "replaced");
    EXPECT_TRUE(written[2]["cwd"].is_null());
    EXPECT_TRUE(fs::is_empty(workDir.path()));
}

TEST_F(KimiDebugLog, DetailsThatAreNotAnObjectAreReportedNotWritten) {
    testing::internal::CaptureStderr();
    KimiHookDebugLog::append("odd", Json::array({1, 2}));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[tesk-kimi] debug log JSON encode failed event=odd\n");
    EXPECT_FALSE(fs::exists(logPath));
}

TEST_F(KimiDebugLog, AWorkingDirectoryThatIsGoneIsRecordedAsNull) {
    const std::string gone = workDir.file("gone");
    fs::create_directory(gone);
    fs::current_path(gone);
    fs::remove(gone);
    KimiHookDebugLog::append("orphan");
    const std::vector<Json> written = records(logPath);
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written[0]["event"], "orphan");
    EXPECT_TRUE(written[0]["cwd"].is_null());
}

// A repository the assistant works in may hold "kimi-hook-debug.log" as anything at all. Whatever it
// is, the log goes to the diagnostics folder and the thing in the working directory stays as it was.
TEST_F(KimiDebugLog, WorkingDirectoryTrapsAreNeverTouched) {
    test::TempDir elsewhere;
    const std::string victim = elsewhere.file("bashrc");
    ASSERT_TRUE(files::atomicWrite(victim, "# mine\n"));
    const std::string trap = workDir.file("kimi-hook-debug.log");
    struct Trap {
        const char* name;
        std::function<void()> make;
    };
    const std::vector<Trap> traps = {
        {"LinkToAFile", [&] { fs::create_symlink(victim, trap); }},
        {"DanglingLink", [&] { fs::create_symlink(elsewhere.file("rc"), trap); }},
        {"Fifo", [&] { ASSERT_EQ(::mkfifo(trap.c_str(), 0600), 0); }},
        {"LinkToStandardOutput", [&] { fs::create_symlink("/dev/stdout", trap); }},
    };
    for (const Trap& t : traps) {
        fs::remove(trap);
        fs::remove(logPath);
        t.make();
        const fs::file_status before = fs::symlink_status(trap);
        testing::internal::CaptureStdout();
        KimiHookDebugLog::append("kimi_PreToolUse_start", Json{{"hintLogFile", KimiHookDebugLog::logFilePath()}});
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << t.name;
        EXPECT_EQ(records(logPath).size(), 1u) << t.name;
        EXPECT_EQ(fs::symlink_status(trap).type(), before.type()) << t.name;
        EXPECT_EQ(files::readFile(victim), "# mine\n") << t.name;
        EXPECT_FALSE(fs::exists(elsewhere.file("rc"))) << t.name;
    }
}

struct ProbeCase {
    const char* name;
    std::string text;
    std::optional<std::string> snippet;
};

std::string repeat(std::string_view piece, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += piece;
    return out;
}

// A family emoji is one character made of five code points.
constexpr std::string_view kFamily = "\U0001F468\u200D\U0001F469\u200D\U0001F467";

const std::vector<ProbeCase> kProbeCases = {
    {"Template", std::string(KimiConfigLeverSync::kAutoTemplate) + "\n", "true"},
    {"NoBlanks", "default_yolo=false\n", "false"},
    {"FirstOfTwo", "[a]\ndefault_yolo = 1\ndefault_yolo = 2\n", "1"},
    {"CutAt32Characters", "default_yolo = " + repeat("x", 40), repeat("x", 32)},
    {"CutAtWholeCharacters", "default_yolo = " + repeat(kFamily, 40), repeat(kFamily, 32)},
    {"CommentedKey", "# default_yolo = true\n", std::nullopt},
    {"ValueOnTheNextLine", "default_yolo =\n  true\n", "true"},
    {"NoValue", "default_yolo =", std::nullopt},
};

TEST(KimiProbe, ReadsTheFirstValueAfterTheKey) {
    for (const ProbeCase& c : kProbeCases) {
        EXPECT_EQ(KimiConfigDiagnostic::probeDefaultYoloValue(c.text), c.snippet) << c.name;
    }
}

TEST(KimiConfigDiagnostic, SnapshotDescribesTheFileAndTheLeverSnapshot) {
    test::TempDir home;
    const std::string config = KimiConfigLeverSync::configPath(home.path());
    const auto writeConfig = [&](const std::string& text) {
        fs::create_directories(home.file(".kimi"));
        ASSERT_TRUE(files::atomicWrite(config, text));
    };
    Json missing = KimiConfigDiagnostic::leverSyncSnapshotForLog(home.path());
    EXPECT_EQ(
        missing.dump(),
        Json({{"kimiConfigPath", config},
              {"kimiConfigExists", false},
              {"hookApprovalPolicy", "dial_writes_default_yolo_on_PreToolUse_kimi_reload_to_apply_upstream_deny_only"},
              {"leverSnapshotBakExists", false}})
            .dump());

    writeConfig("model = \"k2\"\n");
    Json noKey = KimiConfigDiagnostic::snapshotForLog(home.path());
    EXPECT_EQ(noKey["kimiConfigExists"], true);
    EXPECT_TRUE(noKey.contains("default_yolo_valueSnippet") && noKey["default_yolo_valueSnippet"].is_null());
    EXPECT_FALSE(noKey.contains("default_yolo_lineno_hint"));
    EXPECT_FALSE(noKey.contains("leverSnapshotBakExists"));

    KimiConfigLeverSync::enableYoloInConfig(home.path());
    Json synced = KimiConfigDiagnostic::leverSyncSnapshotForLog(home.path());
    EXPECT_EQ(synced["default_yolo_valueSnippet"], "true");
    EXPECT_EQ(synced["default_yolo_lineno_hint"], "matched");
    EXPECT_EQ(synced["leverSnapshotBakExists"], true);
}

}  // namespace
}  // namespace vemlo
