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
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace vemlo {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

// What a repository or a careless script may leave where a snapshot or marker of ours belongs.
enum class Trap { danglingLink, directory, linkToAnotherFile };

struct Target {
    const char* name;
    const char* folder;       // under home
    const char* fileName;     // the assistant's file
    const char* trappedName;  // our snapshot or marker beside it
    bool userFile;            // whether the assistant's file exists before the relaxation
    std::function<void(const std::string& home)> relax;
    std::function<void(const std::string& home)> restore;
    // Standard error of the relaxation over the trap; "{path}" stands for the assistant's file.
    std::function<std::string(Trap)> expectedErr;
    bool relaxedAnyway;  // Kimi's snapshot is only a safety copy: its rewrite goes ahead
};

std::string cursorRefusal(const std::string& owner, const std::string& label) {
    return owner + ": 无法备份原 " + label + ": {reason}\n" + owner + ": 无法留下快照，保持原文件不动: {path}\n";
}

const std::vector<Target> kTargets = {
    {"cursor_cli_snapshot", ".cursor", "cli-config.json", "cli-config.json.vemlo.lever0.bak", true,
     [](const std::string& h) { CursorCliLeverSync::applyRelaxed(h); },
     [](const std::string& h) { CursorCliLeverSync::restoreIfNeeded(h); },
     [](Trap) { return cursorRefusal("CursorCliLeverSync", "cli-config"); }, false},
    {"cursor_cli_marker", ".cursor", "cli-config.json", ".vemlo_had_no_cli_config", false,
     [](const std::string& h) { CursorCliLeverSync::applyRelaxed(h); },
     [](const std::string& h) { CursorCliLeverSync::restoreIfNeeded(h); },
     [](Trap) { return cursorRefusal("CursorCliLeverSync", "cli-config"); }, false},
    {"cursor_permissions_snapshot", ".cursor", "permissions.json", "permissions.json.vemlo.lever0.bak", true,
     [](const std::string& h) { CursorPermissionsJsonLeverSync::applyRelaxed(h); },
     [](const std::string& h) { CursorPermissionsJsonLeverSync::restoreIfNeeded(h); },
     [](Trap) { return cursorRefusal("CursorPermissionsJsonLeverSync", "permissions.json"); }, false},
    {"cursor_permissions_marker", ".cursor", "permissions.json", ".vemlo_had_no_permissions_json", false,
     [](const std::string& h) { CursorPermissionsJsonLeverSync::applyRelaxed(h); },
     [](const std::string& h) { CursorPermissionsJsonLeverSync::restoreIfNeeded(h); },
     [](Trap) { return cursorRefusal("CursorPermissionsJsonLeverSync", "permissions.json"); }, false},
    // An existing snapshot is kept as it is, so only a dangling link is a failed backup there.
    {"kimi_snapshot", ".kimi", "config.toml", "config.toml.vemlo.lever0.bak", true,
     [](const std::string& h) { KimiConfigLeverSync::enableYoloInConfig(h); },
     [](const std::string& h) { KimiConfigLeverSync::disableDefaultYoloForManualDial(h); },
     [](Trap trap) { return trap == Trap::danglingLink ? "KimiConfigLeverSync: 备份失败 File exists\n" : ""; }, true},
};

struct TrapCase {
    const Target* target;
    Trap trap;
};

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

class SnapshotTraps : public testing::TestWithParam<TrapCase> {
protected:
    TempDir home;
    TempDir elsewhere;
    TempDir work;  // the hooks' working directory, away from the test's
    fs::path previousDir = fs::current_path();
    std::string other = elsewhere.file("bashrc");
    std::string ghost = elsewhere.file("ghost");

    void SetUp() override { fs::current_path(work.path()); }
    void TearDown() override { fs::current_path(previousDir); }

    std::string run(const std::function<void(const std::string&)>& action) {
        testing::internal::CaptureStderr();
        action(home.path());
        return testing::internal::GetCapturedStderr();
    }
};

TEST_P(SnapshotTraps, ATrapAtOurNameNeverRelaxesWithoutACopyNorIsEverRead) {
    const Target& t = *GetParam().target;
    const Trap trap = GetParam().trap;
    const std::string folder = home.file(t.folder);
    const std::string file = files::join(folder, t.fileName);
    const std::string trapped = files::join(folder, t.trappedName);
    const std::string original = t.name == std::string("kimi_snapshot") ? "default_yolo = false\n" : R"({"mine":1})";
    const std::string precious = t.name == std::string("kimi_snapshot") ? "default_yolo = true\n" : R"({"theirs":2})";
    fs::create_directories(folder);
    if (t.userFile) {
        ASSERT_TRUE(files::atomicWrite(file, original));
    }
    ASSERT_TRUE(files::atomicWrite(other, precious));
    switch (trap) {
    case Trap::danglingLink:
        fs::create_symlink(ghost, trapped);
        break;
    case Trap::directory:
        fs::create_directory(trapped);
        break;
    case Trap::linkToAnotherFile:
        fs::create_symlink(other, trapped);
        break;
    }

    std::string err = run(t.relax);
    std::string expected = t.expectedErr(trap);
    if (const size_t at = expected.find("{reason}"); at != std::string::npos) {
        // The reason is the system's text; everything around it is ours.
        const size_t end = err.find('\n', at);
        ASSERT_NE(end, std::string::npos) << err;
        expected.replace(at, 8, err.substr(at, end - at));
    }
    EXPECT_EQ(err, replaceAll(expected, "{path}", file));
    if (t.relaxedAnyway) {
        EXPECT_NE(files::readFile(file), original);
    } else {
        EXPECT_EQ(files::readFile(file), t.userFile ? std::optional(original) : std::nullopt) << "relaxed anyway";
    }

    run(t.restore);
    EXPECT_NE(files::readFile(file), precious) << "a linked snapshot was restored";
    EXPECT_EQ(files::readFile(other), precious);
    EXPECT_FALSE(fs::exists(fs::symlink_status(ghost)));
}

std::vector<TrapCase> allTrapCases() {
    std::vector<TrapCase> cases;
    for (const Target& t : kTargets)
        for (Trap trap : {Trap::danglingLink, Trap::directory, Trap::linkToAnotherFile}) cases.push_back({&t, trap});
    return cases;
}

const char* trapName(Trap trap) {
    switch (trap) {
    case Trap::danglingLink:
        return "dangling_link";
    case Trap::directory:
        return "directory";
    case Trap::linkToAnotherFile:
        return "link_to_another_file";
    }
    return "";
}

INSTANTIATE_TEST_SUITE_P(LeverSync, SnapshotTraps, testing::ValuesIn(allTrapCases()), [](const auto& info) {
    return std::string(info.param.target->name) + "_" + trapName(info.param.trap);
});

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
