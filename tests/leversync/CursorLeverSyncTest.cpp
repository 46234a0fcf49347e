// The relaxed files' content over a user's file is checked by fuzz/cursor_merge and its seeds.
#include "leversync/CursorCliLeverSync.h"
#include "leversync/CursorPermissionsJsonLeverSync.h"
#include "leversync/SyncLock.h"
#include "platform/Files.h"
#include "platform/Json.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <atomic>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vemlo {
namespace {

namespace fs = std::filesystem;

struct Sync {
    const char *owner, *label, *fileName, *markerName;
    void (*apply)(const std::string& home), (*restore)(const std::string& home);
    Json (*diagnostics)(const std::string& home);
};

namespace cli = CursorCliLeverSync;
namespace ide = CursorPermissionsJsonLeverSync;
const Sync kCli{"CursorCliLeverSync",         "cli-config",      "cli-config.json",
                ".vemlo_had_no_cli_config",   cli::applyRelaxed, cli::restoreIfNeeded,
                cli::diagnosticSnapshotForLog};
const Sync kPermissions{"CursorPermissionsJsonLeverSync", "permissions.json", "permissions.json",
                        ".vemlo_had_no_permissions_json", ide::applyRelaxed,  ide::restoreIfNeeded,
                        ide::diagnosticSnapshotForLog};
const Sync* const kSyncs[] = {&kCli, &kPermissions};

struct CursorHome {
    test::TempDir home;
    std::string dir = home.file(".cursor");
    std::string path(const Sync& s) const { return files::join(dir, s.fileName); }
    std::string snapshot(const Sync& s) const { return path(s) + ".vemlo.lever0.bak"; }
    void write(const Sync& s, const std::string& bytes) const {
        files::createDirectories(dir);
        ASSERT_TRUE(files::atomicWrite(path(s), bytes));
    }
    std::optional<std::string> read(const Sync& s) const { return files::readFile(path(s)); }
    bool leftovers(const Sync& s) const {
        return fs::exists(fs::symlink_status(snapshot(s))) ||
               fs::exists(fs::symlink_status(files::join(dir, s.markerName)));
    }
};

template <typename F>
std::string stderrOf(F action) {
    testing::internal::CaptureStderr();
    action();
    return testing::internal::GetCapturedStderr();
}

mode_t modeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

TEST(CursorLeverSync, WithoutAFileTheRelaxationWritesOneAndTheRestorationRemovesIt) {
    for (const Sync* sync : kSyncs) {
        CursorHome cursor;
        const std::string home = cursor.home.path();
        EXPECT_EQ(stderrOf([&] { sync->apply(home); }), "");
        const auto relaxed = cursor.read(*sync);
        ASSERT_TRUE(relaxed && json::parseObject(*relaxed)) << sync->fileName;
        EXPECT_TRUE(files::exists(files::join(cursor.dir, sync->markerName)));
        // What relaxing is for: shell, reads and writes allowed; cd and swift run without asking.
        // Each file's own flags, each present and true: a missing one is a fault, not a pass.
        const Json seen = sync->diagnostics(home);
        const std::vector<const char*> flags =
            sync == &kCli ? std::vector<const char*>{"permissionsHasShellStar", "permissionsAllowHasReadStar",
                                                     "permissionsAllowHasWriteStar", "hadNoPriorCliMarkerExists"}
                          : std::vector<const char*>{"terminalAllowlistHasPrefix_cd",
                                                     "terminalAllowlistHasPrefix_swift", "hadNoPriorMarkerExists"};
        for (const char* flag : flags)
            EXPECT_EQ(seen.contains(flag) ? seen[flag] : Json("missing"), true) << flag << json::dumpCompact(seen);
        sync->apply(home);
        EXPECT_EQ(cursor.read(*sync), relaxed);
        for (int round = 0; round < 2; ++round) {
            EXPECT_EQ(stderrOf([&] { sync->restore(home); }), "");
            EXPECT_FALSE(cursor.read(*sync));
            EXPECT_FALSE(cursor.leftovers(*sync));
        }
    }
}

TEST(CursorLeverSync, ALinkAndPermissionBitsSurviveAndAFailedRestorationIsRetried) {
    for (const Sync* sync : kSyncs) {
        CursorHome cursor;
        const std::string home = cursor.home.path(), target = cursor.home.file("dotfiles.json");
        ASSERT_TRUE(files::atomicWrite(target, R"({"mine": true})"));
        ASSERT_EQ(::chmod(target.c_str(), 0644), 0);
        files::createDirectories(cursor.dir);
        fs::create_symlink(target, cursor.path(*sync));
        sync->apply(home);
        EXPECT_TRUE(fs::is_symlink(cursor.path(*sync)));
        EXPECT_NE(files::readFile(target), R"({"mine": true})");
        EXPECT_EQ(modeOf(target), 0644u);
        EXPECT_EQ(modeOf(cursor.snapshot(*sync)), 0600u) << "the copy is private, whatever the file's mode";
        sync->restore(home);
        EXPECT_TRUE(fs::is_symlink(cursor.path(*sync)));
        EXPECT_EQ(files::readFile(target), R"({"mine": true})");
        EXPECT_EQ(modeOf(target), 0644u);
        EXPECT_FALSE(cursor.leftovers(*sync));

        sync->apply(home);
        fs::remove(cursor.path(*sync));
        fs::create_directories(files::join(cursor.path(*sync), "in-the-way"));
        const std::string err = stderrOf([&] { sync->restore(home); });
        EXPECT_EQ(err.rfind(std::string(sync->owner) + ": 无法从快照恢复 " + sync->label + ": ", 0), 0u) << err;
        EXPECT_EQ(files::readFile(cursor.snapshot(*sync)), R"({"mine": true})");
        fs::remove_all(cursor.path(*sync));
        sync->restore(home);
        EXPECT_EQ(cursor.read(*sync), R"({"mine": true})");
        EXPECT_FALSE(cursor.leftovers(*sync));
    }
}

// What the user wrote while the lever was at 0 (an edit, a file created over the marker, an edit
// before a second relaxation) is kept beside the file before the restoration, and named; a name
// already taken moves the copy on to the next. Without edits no copy is made.
TEST(CursorLeverSync, EditsMadeAtLeverZeroAreKeptBeforeTheRestoration) {
    const struct {
        const char* name;
        std::optional<std::string> before;  // the user's file before the first relaxation
        bool relaxAgain;
        const char* editsThere;  // at the copy's name beforehand: nothing, other bytes, or the same edit
    } cases[] = {{"edited", "{\"a\": 1}", false, ""},
                 {"created over the marker", std::nullopt, false, ""},
                 {"edited before another relaxation", "{\"a\": 1}", true, ""},
                 {"copy name taken", "{\"a\": 1}", false, "earlier"},
                 {"same edit kept before", "{\"a\": 1}", false, "same"},
                 {"not edited", "{\"a\": 1}", false, ""}};
    for (const Sync* sync : kSyncs) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(sync->fileName) + ": " + c.name);
            CursorHome cursor;
            const std::string home = cursor.home.path(), edits = cursor.path(*sync) + ".vemlo.lever0-edits.bak";
            if (c.before) cursor.write(*sync, *c.before);
            sync->apply(home);
            const std::string mine = "{\"mine\": [\"" + std::string(c.name) + "\"]}";
            const bool edited = std::string_view(c.name) != "not edited";
            if (edited) cursor.write(*sync, mine);
            if (c.relaxAgain) sync->apply(home);
            const std::string editedText = cursor.read(*sync).value_or("");
            const std::string there = c.editsThere == std::string("same") ? editedText : c.editsThere;
            if (!there.empty()) {
                ASSERT_TRUE(files::createExclusive(edits, there, 0600) == files::Created::created);
            }
            const std::string kept = there == "earlier" ? edits + ".2" : edits;
            const std::string err = stderrOf([&] { sync->restore(home); });
            EXPECT_EQ(cursor.read(*sync), c.before);
            EXPECT_FALSE(cursor.leftovers(*sync));
            if (!edited) {
                EXPECT_EQ(err, "");
                EXPECT_FALSE(fs::exists(edits));
                continue;
            }
            EXPECT_EQ(err,
                      std::string(sync->owner) + ": 拨杆为 0 期间 " + sync->label + " 的改动已另存为 " + kept + "\n");
            EXPECT_EQ(files::readFile(kept), editedText);
            EXPECT_NE(editedText.find(c.name), std::string::npos) << editedText;
            EXPECT_EQ(modeOf(kept), 0600u);
            EXPECT_TRUE(there.empty() || files::readFile(edits) == there);
            EXPECT_EQ(fs::exists(edits + ".2"), there == "earlier");
        }
    }
}

// Hooks of one assistant run at once. Without the lock, a hook could find no snapshot, and before
// it copies the file another hook's relaxation lands, so the "user's" snapshot is a relaxed file.
class Racing : public testing::TestWithParam<bool> {};

TEST_P(Racing, RelaxAndRestoreNeverLoseTheUsersFiles) {
    CursorHome cursor;
    const std::string cli = "{\"version\": 7,\n \"permissions\": {\"allow\": [\"Shell(ls)\"]}}\n";
    const std::string permissions = "{\"terminalAllowlist\": [\"git\"], \"mcpAllowlist\": []}";
    if (GetParam()) cursor.write(kCli, cli);
    if (GetParam()) cursor.write(kPermissions, permissions);
    // Under test is the locking, not the disk: a busy machine must not let waiters go ahead unlocked.
    SyncLock::setDefaultWait(std::chrono::minutes(2));
    std::atomic<int> ready{0};
    testing::internal::CaptureStderr();
    std::vector<std::thread> threads;
    for (int t = 0; t < 16; ++t) {
        threads.emplace_back([&, t] {
            for (++ready; ready.load() < 16;) std::this_thread::yield();
            for (int round = 0; round < 100; ++round)
                for (const Sync* sync : kSyncs)
                    ((t + round) % 2 == 0 ? sync->apply : sync->restore)(cursor.home.path());
        });
    }
    for (auto& thread : threads) thread.join();
    SyncLock::setDefaultWait(SyncLock::kDefaultWait);
    for (const Sync* sync : kSyncs) sync->restore(cursor.home.path());
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(err.empty()) << err.substr(0, 300);
    EXPECT_EQ(cursor.read(kCli), GetParam() ? std::optional(cli) : std::nullopt);
    EXPECT_EQ(cursor.read(kPermissions), GetParam() ? std::optional(permissions) : std::nullopt);
    // Nothing of ours may be left in Cursor's folder, temporary files included.
    EXPECT_EQ(std::distance(fs::directory_iterator(cursor.dir), fs::directory_iterator()), GetParam() ? 2 : 0);
}

INSTANTIATE_TEST_SUITE_P(Cursor, Racing, testing::Bool(),
                         [](const auto& info) { return info.param ? "over_user_files" : "over_no_files"; });

}  // namespace
}  // namespace vemlo
