#include "platform/Files.h"
#include "support/Process.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <filesystem>
#include <functional>
#include <ostream>
#include <string>

namespace vemlo {
namespace {

using namespace test;
namespace fs = std::filesystem;

const std::string kSettings = "{\n  \"model\": \"opus\"\n}\n";

// What may stand where vemloctl keeps the backup of a file it edits for the first time. Anything
// but a regular file of the user's is no backup: the file is then not edited at all.
struct BackupTrap {
    const char* name;
    std::function<void(const std::string& backup, const std::string& other, const std::string& ghost)> plant;
};

void PrintTo(const BackupTrap& t, std::ostream* os) { *os << t.name; }

class BackupTraps : public testing::TestWithParam<BackupTrap> {};

TEST_P(BackupTraps, TheFileIsLeftAsItWasAndNothingIsWrittenThroughTheTrap) {
    TempDir home;
    TempDir tools;
    TempDir elsewhere;
    const std::string settings = home.file(".claude/settings.json");
    const std::string other = elsewhere.file("notes");
    const std::string ghost = elsewhere.file("ghost");
    fs::create_directories(home.file(".claude"));
    ASSERT_TRUE(files::atomicWrite(settings, kSettings));
    ASSERT_TRUE(files::atomicWrite(other, "mine\n"));
    ASSERT_TRUE(files::atomicWrite(tools.file("systemctl"), "#!/bin/sh\nexit 0\n"));
    ::chmod(tools.file("systemctl").c_str(), 0755);
    GetParam().plant(settings + ".vemloctl.bak", other, ghost);

    ProcessResult r = runProcess({VEMLO_CTL_BINARY, "install", "--only", "claude", "--agent", VEMLO_AGENT_BINARY},
                                 {{"HOME", home.path()},
                                  {"PATH", tools.path() + ":/usr/bin:/bin"},
                                  {"XDG_CONFIG_HOME", ""},
                                  {"VEMLO_SOCKET", home.file("no-agent.sock")}},
                                 "", 60s);
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("cannot create the backup"), std::string::npos) << r.err;
    EXPECT_EQ(files::readFile(settings), kSettings);
    EXPECT_EQ(files::readFile(other), "mine\n");
    EXPECT_FALSE(fs::exists(fs::symlink_status(ghost)));
}

INSTANTIATE_TEST_SUITE_P(
    Ctl, BackupTraps,
    testing::Values(BackupTrap{"dangling_link",
                               [](auto& backup, auto&, auto& ghost) { fs::create_symlink(ghost, backup); }},
                    BackupTrap{"directory", [](auto& backup, auto&, auto&) { fs::create_directory(backup); }},
                    BackupTrap{"link_to_another_file",
                               [](auto& backup, auto& other, auto&) { fs::create_symlink(other, backup); }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vemlo
