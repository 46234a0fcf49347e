#include "leversync/CodexConfigLeverSync.h"
#include "leversync/CursorCliLeverSync.h"
#include "leversync/CursorPermissionsJsonLeverSync.h"
#include "leversync/KimiConfigLeverSync.h"
#include "platform/Files.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vemlo {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

// What a repository or a careless script may leave where a snapshot or marker of ours belongs:
// a dangling link, a folder, a link to another file of the user's. Each is tried at each name.
struct Target {
    const char* folder;       // under home
    const char* fileName;     // the assistant's file; absent before the relaxation when trappedName is a marker
    const char* trappedName;  // our snapshot or marker beside it
    const char* refusal;      // the start of the refusal to relax: "" for Kimi, whose snapshot is a safety copy
    void (*relax)(const std::string& home);
    void (*restore)(const std::string& home);
};

void cliRelax(const std::string& h) { CursorCliLeverSync::applyRelaxed(h); }
void cliRestore(const std::string& h) { CursorCliLeverSync::restoreIfNeeded(h); }
void ideRelax(const std::string& h) { CursorPermissionsJsonLeverSync::applyRelaxed(h); }
void ideRestore(const std::string& h) { CursorPermissionsJsonLeverSync::restoreIfNeeded(h); }

const Target kTargets[] = {
    {".cursor", "cli-config.json", "cli-config.json.vemlo.lever0.bak", "CursorCliLeverSync: 无法备份原 cli-config: ",
     cliRelax, cliRestore},
    {".cursor", "cli-config.json", ".vemlo_had_no_cli_config", "CursorCliLeverSync: 无法备份原 cli-config: ", cliRelax,
     cliRestore},
    {".cursor", "permissions.json", "permissions.json.vemlo.lever0.bak",
     "CursorPermissionsJsonLeverSync: 无法备份原 permissions.json: ", ideRelax, ideRestore},
    {".cursor", "permissions.json", ".vemlo_had_no_permissions_json",
     "CursorPermissionsJsonLeverSync: 无法备份原 permissions.json: ", ideRelax, ideRestore},
    {".kimi", "config.toml", "config.toml.vemlo.lever0.bak", "",
     [](const std::string& h) { KimiConfigLeverSync::enableYoloInConfig(h); },
     [](const std::string& h) { KimiConfigLeverSync::disableDefaultYoloForManualDial(h); }},
};

TEST(SnapshotTraps, ATrapAtOurNameNeverRelaxesWithoutACopyNorIsEverRead) {
    for (const Target& t : kTargets) {
        for (int trap = 0; trap < 3; ++trap) {
            SCOPED_TRACE(std::string(t.trappedName) + " trap " + std::to_string(trap));
            TempDir home, elsewhere, work;  // work: the hooks' working directory, away from the test's
            const fs::path previousDir = fs::current_path();
            fs::current_path(work.path());
            const bool kimi = t.refusal[0] == 0, marker = t.trappedName[0] == '.';
            const std::string folder = home.file(t.folder), file = files::join(folder, t.fileName);
            const std::string other = elsewhere.file("bashrc"), ghost = elsewhere.file("ghost");
            const std::string original = kimi ? "default_yolo = false\n" : R"({"mine":1})";
            const std::string precious = kimi ? "default_yolo = true\n" : R"({"theirs":2})";
            fs::create_directories(folder);
            if (!marker) {
                ASSERT_TRUE(files::atomicWrite(file, original));
            }
            ASSERT_TRUE(files::atomicWrite(other, precious));
            const std::string trapped = files::join(folder, t.trappedName);
            if (trap == 0) fs::create_symlink(ghost, trapped);
            if (trap == 1) fs::create_directory(trapped);
            if (trap == 2) fs::create_symlink(other, trapped);

            testing::internal::CaptureStderr();
            t.relax(home.path());
            const std::string err = testing::internal::GetCapturedStderr();
            if (kimi) {
                // An existing snapshot is kept as it is, so only a dangling link is a failed backup.
                EXPECT_EQ(err, trap == 0 ? "KimiConfigLeverSync: 备份失败 File exists\n" : "");
                EXPECT_NE(files::readFile(file), original);
            } else {
                const std::string owner = std::string(t.refusal).substr(0, std::string(t.refusal).find(':'));
                EXPECT_EQ(err.rfind(t.refusal, 0), 0u) << err;
                EXPECT_TRUE(err.ends_with("\n" + owner + ": 无法留下快照，保持原文件不动: " + file + "\n")) << err;
                EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 2) << err;
                EXPECT_EQ(files::readFile(file), marker ? std::nullopt : std::optional(original)) << "relaxed anyway";
            }
            testing::internal::CaptureStderr();
            t.restore(home.path());
            testing::internal::GetCapturedStderr();
            fs::current_path(previousDir);
            EXPECT_NE(files::readFile(file), precious) << "a linked snapshot was restored";
            EXPECT_EQ(files::readFile(other), precious);
            EXPECT_FALSE(fs::exists(fs::symlink_status(ghost)));
            EXPECT_TRUE(fs::is_empty(work.path()));
        }
    }
}

// A snapshot swapped for a link after the relaxation is not ours any more: the restoration leaves
// the relaxed file rather than copy whatever the link points at over the user's configuration.
TEST(SnapshotTraps, ASnapshotReplacedByALinkIsNeverRead) {
    TempDir home;
    TempDir elsewhere;
    const std::string file = home.file(".cursor/cli-config.json");
    const std::string snapshot = file + ".vemlo.lever0.bak";
    fs::create_directories(home.file(".cursor"));
    ASSERT_TRUE(files::atomicWrite(file, R"({"mine":1})"));
    CursorCliLeverSync::applyRelaxed(home.path());
    const auto relaxed = files::readFile(file);
    ASSERT_TRUE(files::readFile(snapshot));
    fs::remove(snapshot);
    ASSERT_TRUE(files::atomicWrite(elsewhere.file("id_rsa"), "secret"));
    fs::create_symlink(elsewhere.file("id_rsa"), snapshot);

    CursorCliLeverSync::restoreIfNeeded(home.path());
    EXPECT_EQ(files::readFile(file), relaxed);
    EXPECT_TRUE(fs::is_symlink(snapshot));
}

// Without a home directory there is no configuration of the user's: nothing is touched, least of
// all in the working directory, which may be a repository's.
TEST(NoHome, NothingIsTouchedAndNothingIsSaid) {
    TempDir work;
    const fs::path previous = fs::current_path();
    fs::current_path(work.path());
    fs::create_directories(work.file(".cursor"));
    fs::create_directories(work.file(".codex"));
    ASSERT_TRUE(files::atomicWrite(work.file(".cursor/cli-config.json"), "{}"));
    ASSERT_TRUE(files::atomicWrite(work.file(".codex/config.toml"), "model = \"o3\"\n"));
    testing::internal::CaptureStderr();
    CursorCliLeverSync::applyRelaxed("");
    CursorPermissionsJsonLeverSync::applyRelaxed("");
    CodexConfigLeverSync::apply(true, "");
    CursorCliLeverSync::restoreIfNeeded("");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    fs::current_path(previous);
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(work.path())) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{".codex", ".cursor", "cli-config.json", "config.toml"}));
    EXPECT_EQ(files::readFile(work.file(".cursor/cli-config.json")), "{}");
}

// A rewrite killed at any moment leaves at most one temporary file beside its target, and the
// target whole: either what was there or what the rewrite meant to write.
TEST(KillLoop, AKilledRewriteLeavesAtMostOneTemporaryFilePerTarget) {
    TempDir home;
    const std::string config = CodexConfigLeverSync::configPath(home.path());
    fs::create_directories(home.file(".codex"));
    std::string big = "approval_policy = \"on-request\"\n";
    while (big.size() < (size_t{1} << 20)) big += "# padding so that each rewrite takes a while to write\n";
    const std::string bigNever = "approval_policy = \"never\"" + big.substr(big.find('\n'));
    ASSERT_TRUE(files::atomicWrite(config, big));
    const auto temporaries = [&] {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(home.file(".codex")))
            if (entry.path().filename() != "config.toml") names.push_back(entry.path().filename());
        return names;
    };

    constexpr int kRounds = 9;
    for (int round = 0; round < kRounds; ++round) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (bool automatic = true;; automatic = !automatic) CodexConfigLeverSync::apply(automatic, home.path());
        }
        // The child is killed mid-write (its first temporary file exists), between two rewrites (the
        // first one is gone), or in its second rewrite.
        const std::string mine = "config.toml.tmp." + std::to_string(child) + ".";
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        std::vector<std::string> seen;
        for (;;) {
            std::optional<std::string> present;
            for (const std::string& name : temporaries())
                if (name.starts_with(mine)) present = name;
            if (present && std::find(seen.begin(), seen.end(), *present) == seen.end()) seen.push_back(*present);
            const bool done = round % 3 == 0   ? present.has_value()
                              : round % 3 == 1 ? !seen.empty() && !present
                                               : seen.size() >= 2;
            if (done || std::chrono::steady_clock::now() > deadline) break;
            std::this_thread::yield();
        }
        ::kill(child, SIGKILL);
        ASSERT_EQ(::waitpid(child, nullptr, 0), child);
        EXPECT_LE(temporaries().size(), 1u) << "round " << round << ": " << testing::PrintToString(temporaries());
        const auto text = files::readFile(config);
        EXPECT_TRUE(text == big || text == bigNever) << "round " << round << ": the configuration is torn";
    }
    CodexConfigLeverSync::apply(true, home.path());
    CodexConfigLeverSync::apply(false, home.path());
    EXPECT_TRUE(temporaries().empty()) << testing::PrintToString(temporaries());
}

}  // namespace
}  // namespace vemlo
