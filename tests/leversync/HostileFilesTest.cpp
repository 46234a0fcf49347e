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
TEST(SnapshotTraps, ATrapAtOurNameNeverRelaxesWithoutACopyNorIsEverRead) {
    using Step = void (*)(const std::string&);
    const Step cli[] = {CursorCliLeverSync::applyRelaxed, CursorCliLeverSync::restoreIfNeeded};
    const Step ide[] = {CursorPermissionsJsonLeverSync::applyRelaxed, CursorPermissionsJsonLeverSync::restoreIfNeeded};
    const Step kimi[] = {[](const std::string& h) { KimiConfigLeverSync::enableYoloInConfig(h); },
                         [](const std::string& h) { KimiConfigLeverSync::disableDefaultYoloForManualDial(h); }};
    const struct {
        std::string file, trapped;  // under home; a trapped marker means there is no file before
        std::string who;            // who refuses to relax; none for Kimi, whose snapshot is a safety copy
        const Step* steps;
    } targets[] = {
        {".cursor/cli-config.json", ".cursor/cli-config.json.vemlo.lever0.bak", "CursorCliLeverSync", cli},
        {".cursor/cli-config.json", ".cursor/.vemlo_had_no_cli_config", "CursorCliLeverSync", cli},
        {".cursor/permissions.json", ".cursor/permissions.json.vemlo.lever0.bak", "CursorPermissionsJsonLeverSync",
         ide},
        {".cursor/permissions.json", ".cursor/.vemlo_had_no_permissions_json", "CursorPermissionsJsonLeverSync", ide},
        {".kimi/config.toml", ".kimi/config.toml.vemlo.lever0.bak", "", kimi},
    };
    for (const auto& t : targets) {
        for (int trap = 0; trap < 3; ++trap) {
            SCOPED_TRACE(t.trapped + " trap " + std::to_string(trap));
            TempDir home, elsewhere, work;  // work: the hooks' working directory, away from the test's
            const fs::path previousDir = fs::current_path();
            fs::current_path(work.path());
            const bool marker = t.trapped.find("/.vemlo_") != std::string::npos;
            const std::string file = home.file(t.file), trapped = home.file(t.trapped);
            const std::string other = elsewhere.file("bashrc"), ghost = elsewhere.file("ghost");
            const std::string original = t.who.empty() ? "default_yolo = false\n" : R"({"mine":1})";
            const std::string precious = t.who.empty() ? "default_yolo = true\n" : R"({"theirs":2})";
            fs::create_directories(fs::path(file).parent_path());
            ASSERT_TRUE(marker || files::atomicWrite(file, original));
            ASSERT_TRUE(files::atomicWrite(other, precious));
            trap == 0   ? fs::create_symlink(ghost, trapped)
            : trap == 1 ? (void)fs::create_directory(trapped)
                        : fs::create_symlink(other, trapped);
            testing::internal::CaptureStderr();
            t.steps[0](home.path());
            const std::string err = testing::internal::GetCapturedStderr();
            if (t.who.empty()) {
                // An existing snapshot is kept as it is, so only a dangling link is a failed backup.
                EXPECT_EQ(err, trap == 0 ? "KimiConfigLeverSync: 备份失败 File exists\n" : "");
                EXPECT_NE(files::readFile(file), original);
            } else {
                EXPECT_TRUE(err.starts_with(t.who + ": 无法备份原 ")) << err;
                EXPECT_TRUE(err.ends_with("\n" + t.who + ": 无法留下快照，保持原文件不动: " + file + "\n")) << err;
                EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 2) << err;
                EXPECT_EQ(files::readFile(file), marker ? std::nullopt : std::optional(original)) << "relaxed anyway";
            }
            testing::internal::CaptureStderr();
            t.steps[1](home.path());
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
    const std::string file = home.file(".cursor/cli-config.json"), snapshot = file + ".vemlo.lever0.bak";
    fs::create_directories(home.file(".cursor"));
    ASSERT_TRUE(files::atomicWrite(file, R"({"mine":1})"));
    CursorCliLeverSync::applyRelaxed(home.path());
    const auto relaxed = files::readFile(file);
    ASSERT_TRUE(files::readFile(snapshot) && files::atomicWrite(home.file("id_rsa"), "secret"));
    fs::remove(snapshot);
    fs::create_symlink(home.file("id_rsa"), snapshot);
    CursorCliLeverSync::restoreIfNeeded(home.path());
    EXPECT_EQ(files::readFile(file), relaxed);
    EXPECT_TRUE(fs::is_symlink(snapshot));
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
    for (int round = 0; round < 9; ++round) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0)
            // The sync writes "on-request" whatever the lever, so the file is set back before each run.
            for (;;) {
                (void)files::atomicWrite(config, bigNever);
                CodexConfigLeverSync::apply(false, home.path());
            }
        // Killed mid-write (its first temporary file exists), between two rewrites (the first one is
        // gone), or in its second rewrite.
        const std::string mine = "config.toml.vemlo-tmp." + std::to_string(child) + ".";
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        std::vector<std::string> seen;
        for (bool done = false; !done && std::chrono::steady_clock::now() < deadline; std::this_thread::yield()) {
            std::optional<std::string> present;
            for (const std::string& name : temporaries())
                if (name.starts_with(mine)) present = name;
            if (present && std::find(seen.begin(), seen.end(), *present) == seen.end()) seen.push_back(*present);
            done = round % 3 == 0 ? present.has_value() : round % 3 == 1 ? !seen.empty() && !present : seen.size() >= 2;
        }
        ::kill(child, SIGKILL);
        ASSERT_EQ(::waitpid(child, nullptr, 0), child);
        EXPECT_LE(temporaries().size(), 1u) << "round " << round << ": " << testing::PrintToString(temporaries());
        const auto text = files::readFile(config);
        EXPECT_TRUE(text == big || text == bigNever) << "round " << round << ": the configuration is torn";
    }
    ASSERT_TRUE(files::atomicWrite(config, bigNever));  // the next rewrite clears what the killed ones left
    CodexConfigLeverSync::apply(false, home.path());
    EXPECT_EQ(files::readFile(config), big);
    EXPECT_TRUE(temporaries().empty()) << testing::PrintToString(temporaries());
}

}  // namespace
}  // namespace vemlo
