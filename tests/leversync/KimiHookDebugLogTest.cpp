#include "leversync/KimiHookDebugLog.h"

#include "platform/Files.h"
#include "platform/Json.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <sstream>
#include <unistd.h>
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

class KimiDebugLog : public testing::Test {
protected:
    test::TempDir workDir;
    fs::path previousDir = fs::current_path();
    std::string logPath = workDir.file("kimi-hook-debug.log");

    void SetUp() override { fs::current_path(workDir.path()); }
    void TearDown() override { fs::current_path(previousDir); }
};

TEST_F(KimiDebugLog, RecordsCarryBaseKeysThenDetails) {
    EXPECT_EQ(KimiHookDebugLog::logFilePath(), logPath);
    KimiHookDebugLog::append("first", Json{{"stdinBytes", 12}, {"toolPreview", {{"parser", "Kimi"}}}});
    KimiHookDebugLog::append("second");

    const std::vector<Json> written = records(logPath);
    ASSERT_EQ(written.size(), 2u);
    const Json& first = written[0];
    std::vector<std::string> keys;
    for (const auto& [key, value] : first.items()) keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{"ts", "event", "pid", "cwd", "stdinBytes", "toolPreview"}));
    EXPECT_TRUE(std::regex_match(first["ts"].get<std::string>(),
                                 std::regex("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z")))
        << first["ts"];
    EXPECT_EQ(first["event"], "first");
    EXPECT_EQ(first["pid"], ::getpid());
    EXPECT_EQ(first["cwd"], workDir.path());
    EXPECT_EQ(first["toolPreview"]["parser"], "Kimi");
    EXPECT_EQ(written[1]["event"], "second");
}

TEST_F(KimiDebugLog, DetailsOverrideBaseKeysInPlace) {
    KimiHookDebugLog::append("original", Json{{"extra", true}, {"event", "replaced"}, {"cwd", nullptr}});
    const std::vector<Json> written = records(logPath);
    ASSERT_EQ(written.size(), 1u);
    std::vector<std::string> keys;
    for (const auto& [key, value] : written[0].items()) keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{"ts", "event", "pid", "cwd", "extra"}));
    EXPECT_EQ(written[0]["event"], "replaced");
    EXPECT_TRUE(written[0]["cwd"].is_null());
}

TEST_F(KimiDebugLog, DetailsThatAreNotAnObjectAreReportedNotWritten) {
    testing::internal::CaptureStderr();
    KimiHookDebugLog::append("odd", Json::array({1, 2}));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[tesk-kimi] debug log JSON encode failed event=odd\n");
    EXPECT_FALSE(fs::exists(logPath));
}

TEST_F(KimiDebugLog, GoesToHomeWhenTheWorkingDirectoryIsGone) {
    test::TempDir home;
    const std::string gone = workDir.file("gone");
    fs::create_directory(gone);
    fs::current_path(gone);
    fs::remove(gone);
    const char* previousHome = std::getenv("HOME");
    const std::string savedHome = previousHome ? previousHome : "";
    ::setenv("HOME", home.path().c_str(), 1);

    KimiHookDebugLog::append("orphan");
    const std::string fallback = KimiHookDebugLog::logFilePath();

    if (previousHome) ::setenv("HOME", savedHome.c_str(), 1); else ::unsetenv("HOME");
    EXPECT_EQ(fallback, home.file("kimi-hook-debug.log"));
    const std::vector<Json> written = records(home.file("kimi-hook-debug.log"));
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written[0]["event"], "orphan");
    EXPECT_TRUE(written[0]["cwd"].is_null());
}

}  // namespace
}  // namespace vemlo
