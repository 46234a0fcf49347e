#include "leversync/CursorCliLeverSync.h"
#include "leversync/CursorPermissionsJsonLeverSync.h"
#include "leversync/SyncLock.h"
#include "platform/Files.h"
#include "platform/Json.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace vemlo {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

struct Sync {
    const char* owner;
    const char* label;
    const char* fileName;
    const char* markerName;
    void (*apply)(const std::string& home);
    void (*restore)(const std::string& home);
};

const Sync kCli{"CursorCliLeverSync",
                "cli-config",
                "cli-config.json",
                ".vemlo_had_no_cli_config",
                [](const std::string& home) { CursorCliLeverSync::applyRelaxed(home); },
                [](const std::string& home) { CursorCliLeverSync::restoreIfNeeded(home); }};
const Sync kPermissions{"CursorPermissionsJsonLeverSync",
                        "permissions.json",
                        "permissions.json",
                        ".vemlo_had_no_permissions_json",
                        [](const std::string& home) { CursorPermissionsJsonLeverSync::applyRelaxed(home); },
                        [](const std::string& home) { CursorPermissionsJsonLeverSync::restoreIfNeeded(home); }};

struct CursorHome {
    TempDir home;
    std::string cursorDir = home.file(".cursor");

    std::string path(const Sync& sync) const { return files::join(cursorDir, sync.fileName); }
    std::string snapshot(const Sync& sync) const { return path(sync) + ".vemlo.lever0.bak"; }
    std::string marker(const Sync& sync) const { return files::join(cursorDir, sync.markerName); }
    void write(const Sync& sync, const std::string& bytes) const {
        files::createDirectories(cursorDir);
        ASSERT_TRUE(files::atomicWrite(path(sync), bytes));
    }
    std::optional<std::string> read(const Sync& sync) const { return files::readFile(path(sync)); }
    bool leftovers(const Sync& sync) const {
        return fs::exists(fs::symlink_status(snapshot(sync))) || fs::exists(fs::symlink_status(marker(sync)));
    }
};

// Runs `action` and returns what it wrote to standard error.
template <typename F>
std::string stderrOf(F action) {
    testing::internal::CaptureStderr();
    action();
    return testing::internal::GetCapturedStderr();
}

std::string pretty(const std::string& jsonText) {
    auto value = json::parse(jsonText);
    EXPECT_TRUE(value) << jsonText;
    return value ? json::dumpPrettySorted(*value) : "";
}

mode_t modeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

const std::string kTenRules =
    R"J("Shell(*)","Shell(cd)","Shell(swift)","Shell(bash)","Shell(zsh)","Shell(sh)","Read(**/*)","Write(**/*)",)J"
    R"J("WebFetch(*)","Mcp(*:*)")J";
const std::string kRelaxedCliOnly =
    R"({"approvalMode":"auto","permissions":{"allow":[)" + kTenRules + R"(],"deny":[]},"version":1})";
const std::string kTwentyTwoPrefixes =
    R"("cd","swift","swift build","xcodebuild","git","npm","yarn","pnpm","bun","deno","node","make","cargo",)"
    R"("go","python3","python","ruby","bash","zsh","sh","curl","ls")";
const std::string kRelaxedPermissionsOnly = R"({"terminalAllowlist":[)" + kTwentyTwoPrefixes + "]}";

struct RoundTripCase {
    const char* name;
    const Sync* sync;
    std::optional<std::string> prior;  // absent: no file before the first relaxation
    std::string relaxed;               // the relaxed file's content, as JSON text
};

void PrintTo(const RoundTripCase& c, std::ostream* os) { *os << c.name; }

class LeverSyncRoundTrip : public testing::TestWithParam<RoundTripCase> {};

TEST_P(LeverSyncRoundTrip, RelaxIsIdempotentAndRestoreBringsBackTheUsersBytes) {
    const auto& c = GetParam();
    const Sync& sync = *c.sync;
    CursorHome cursor;
    if (c.prior) cursor.write(sync, *c.prior);

    EXPECT_EQ(stderrOf([&] { sync.apply(cursor.home.path()); }), "");
    const auto relaxed = cursor.read(sync);
    ASSERT_TRUE(relaxed);
    EXPECT_EQ(*relaxed, pretty(c.relaxed));
    EXPECT_EQ(files::readFile(cursor.snapshot(sync)), c.prior);
    EXPECT_EQ(files::exists(cursor.marker(sync)), !c.prior);

    sync.apply(cursor.home.path());
    EXPECT_EQ(cursor.read(sync), relaxed) << "a second relaxation must change nothing";
    EXPECT_EQ(files::readFile(cursor.snapshot(sync)), c.prior) << "the snapshot is taken only once";

    EXPECT_EQ(stderrOf([&] { sync.restore(cursor.home.path()); }), "");
    EXPECT_EQ(cursor.read(sync), c.prior);
    EXPECT_FALSE(cursor.leftovers(sync));

    EXPECT_EQ(stderrOf([&] { sync.restore(cursor.home.path()); }), "");
    EXPECT_EQ(cursor.read(sync), c.prior);
}

INSTANTIATE_TEST_SUITE_P(
    Cursor, LeverSyncRoundTrip,
    testing::Values(
        RoundTripCase{"cli_no_prior_file", &kCli, std::nullopt, kRelaxedCliOnly},
        RoundTripCase{"cli_version_extras_and_own_layout", &kCli,
                      "{\n    \"version\": 3, \"approvalMode\": \"allowlist\",\n"
                      "    \"permissions\": {\"allow\": [\"Shell(ls)\"], \"deny\": [\"Shell(rm)\"], \"ask\": [1]},\n"
                      "    \"editor\": {\"vimMode\": true, \"url\": \"https://a/b\"}\n}",
                      R"({"approvalMode":"auto","editor":{"vimMode":true,"url":"https://a/b"},)"
                      R"J("permissions":{"allow":["Shell(ls)",)J" +
                          kTenRules + R"J(],"ask":[1],"deny":["Shell(rm)"]},"version":3})J"},
        RoundTripCase{"cli_mixed_allow_list_keeps_strings_only", &kCli,
                      R"J({"version":"2","permissions":{"allow":["Shell(*)",7,null,"Read(**/*)",{"x":1}]}})J",
                      R"J({"approvalMode":"auto","permissions":{"allow":["Shell(*)","Read(**/*)","Shell(cd)",)J"
                      R"J("Shell(swift)","Shell(bash)","Shell(zsh)","Shell(sh)","Write(**/*)","WebFetch(*)",)J"
                      R"J("Mcp(*:*)"],"deny":[]},"version":"2"})J"},
        RoundTripCase{"cli_permissions_not_an_object", &kCli, R"J({"permissions":["Shell(*)"]})J", kRelaxedCliOnly},
        RoundTripCase{"cli_empty_object", &kCli, "{}\n", kRelaxedCliOnly},
        RoundTripCase{"cli_not_json", &kCli, "{ \"version\": 2, oops", kRelaxedCliOnly},
        RoundTripCase{"cli_top_level_array", &kCli, "[1, 2]", kRelaxedCliOnly},
        RoundTripCase{"permissions_no_prior_file", &kPermissions, std::nullopt, kRelaxedPermissionsOnly},
        RoundTripCase{"permissions_existing_list_and_mcp_allowlist", &kPermissions,
                      R"({ "mcpAllowlist": ["github:*", 3], "terminalAllowlist": ["git", "ls", "swift build"],)"
                      R"( "autoRun": {"allow": "tests"} })",
                      R"({"autoRun":{"allow":"tests"},"mcpAllowlist":["github:*",3],"terminalAllowlist":)"
                      R"(["git","ls","swift build","cd","swift","xcodebuild","npm","yarn","pnpm","bun","deno",)"
                      R"("node","make","cargo","go","python3","python","ruby","bash","zsh","sh","curl"]})"},
        RoundTripCase{"permissions_list_is_a_string", &kPermissions, R"({"terminalAllowlist":"git"})",
                      kRelaxedPermissionsOnly},
        RoundTripCase{"permissions_with_comments", &kPermissions, "// mine\n{\"terminalAllowlist\": [\"make\"]}\n",
                      kRelaxedPermissionsOnly}),
    [](const auto& info) { return std::string(info.param.name); });

class LeverSyncFiles : public testing::TestWithParam<const Sync*> {};

TEST_P(LeverSyncFiles, SymbolicLinkAndPermissionBitsSurviveRelaxAndRestore) {
    const Sync& sync = *GetParam();
    CursorHome cursor;
    const std::string target = cursor.home.file("dotfiles-config.json");
    const std::string original = R"({"mine": true})";
    ASSERT_TRUE(files::atomicWrite(target, original));
    ASSERT_EQ(::chmod(target.c_str(), 0600), 0);
    files::createDirectories(cursor.cursorDir);
    fs::create_symlink(target, cursor.path(sync));

    sync.apply(cursor.home.path());
    EXPECT_TRUE(fs::is_symlink(cursor.path(sync)));
    EXPECT_NE(files::readFile(target), original);
    EXPECT_EQ(modeOf(target), 0600u);
    EXPECT_EQ(modeOf(cursor.snapshot(sync)), 0600u) << "a private file's copy stays private";

    sync.restore(cursor.home.path());
    EXPECT_TRUE(fs::is_symlink(cursor.path(sync)));
    EXPECT_EQ(files::readFile(target), original);
    EXPECT_EQ(modeOf(target), 0600u);
    EXPECT_FALSE(cursor.leftovers(sync));
}

TEST_P(LeverSyncFiles, UnparsableFileWithoutSnapshotIsLeftAlone) {
    const Sync& sync = *GetParam();
    CursorHome cursor;
    const std::string original = "{ \"user\": 1, // a comment the parser rejects\n}";
    cursor.write(sync, original);
    fs::create_directories(cursor.snapshot(sync));

    const std::string err = stderrOf([&] { sync.apply(cursor.home.path()); });
    EXPECT_NE(err.find(std::string(sync.owner) + ": 无法备份原 " + sync.label), std::string::npos) << err;
    EXPECT_NE(err.find("保持原文件不动: " + cursor.path(sync)), std::string::npos) << err;
    EXPECT_EQ(cursor.read(sync), original);
}

TEST_P(LeverSyncFiles, FailedRestorationKeepsTheSnapshotForTheNextAttempt) {
    const Sync& sync = *GetParam();
    CursorHome cursor;
    const std::string original = R"({"user":"own"})";
    cursor.write(sync, original);
    sync.apply(cursor.home.path());
    fs::remove(cursor.path(sync));
    fs::create_directories(files::join(cursor.path(sync), "in-the-way"));

    const std::string err = stderrOf([&] { sync.restore(cursor.home.path()); });
    EXPECT_EQ(err.rfind(std::string(sync.owner) + ": 无法从快照恢复 " + sync.label + ": ", 0), 0u) << err;
    EXPECT_EQ(files::readFile(cursor.snapshot(sync)), original);

    fs::remove_all(cursor.path(sync));
    sync.restore(cursor.home.path());
    EXPECT_EQ(cursor.read(sync), original);
    EXPECT_FALSE(cursor.leftovers(sync));
}

INSTANTIATE_TEST_SUITE_P(Cursor, LeverSyncFiles, testing::Values(&kCli, &kPermissions),
                         [](const auto& info) { return info.param == &kCli ? "cli" : "permissions"; });

TEST(CursorLeverSync, WriteFailureMessagesDifferOnlyByTheCliNote) {
    CursorHome cursor;
    // Both files link to one whose name leaves no room for a temporary name beside it: the snapshot
    // is taken, the rewrite fails, even for root.
    const std::string longName = cursor.home.file(std::string(250, 'c'));
    std::ofstream(longName) << "{}";
    files::createDirectories(cursor.cursorDir);
    for (const Sync* sync : {&kCli, &kPermissions}) fs::create_symlink(longName, cursor.path(*sync));
    EXPECT_EQ(stderrOf([&] { CursorCliLeverSync::applyRelaxed(cursor.home.path()); }),
              "CursorCliLeverSync: 无法写回 " + cursor.path(kCli) + "（仍返回 hook 的 permission）\n");
    EXPECT_EQ(stderrOf([&] { CursorPermissionsJsonLeverSync::applyRelaxed(cursor.home.path()); }),
              "CursorPermissionsJsonLeverSync: 无法写回 " + cursor.path(kPermissions) + "\n");
}

TEST(CursorLeverSync, TheTwoFilesKeepIndependentStates) {
    CursorHome cursor;
    cursor.write(kCli, R"({"cli":1})");
    cursor.write(kPermissions, R"({"ide":1})");
    fs::create_directories(cursor.snapshot(kPermissions));
    for (const Sync* sync : {&kCli, &kPermissions}) stderrOf([&] { sync->apply(cursor.home.path()); });
    const auto relaxedPermissions = cursor.read(kPermissions);

    for (const Sync* sync : {&kCli, &kPermissions}) sync->restore(cursor.home.path());
    EXPECT_EQ(cursor.read(kCli), R"({"cli":1})");
    EXPECT_EQ(cursor.read(kPermissions), relaxedPermissions);
}

struct DiagnosticCase {
    const char* name;
    const Sync* sync;
    std::optional<std::string> content;
    std::string expectedTail;  // the members after the four about files, as a JSON object
};

void PrintTo(const DiagnosticCase& c, std::ostream* os) { *os << c.name; }

class LeverSyncDiagnostics : public testing::TestWithParam<DiagnosticCase> {};

TEST_P(LeverSyncDiagnostics, SummarisesTheFile) {
    const auto& c = GetParam();
    CursorHome cursor;
    if (c.content) cursor.write(*c.sync, *c.content);
    const bool cli = c.sync == &kCli;
    Json actual = cli ? CursorCliLeverSync::diagnosticSnapshotForLog(cursor.home.path())
                      : CursorPermissionsJsonLeverSync::diagnosticSnapshotForLog(cursor.home.path());

    Json expected = Json::object();
    expected[cli ? "userCliConfigPath" : "permissionsJsonPath"] = cursor.path(*c.sync);
    expected[cli ? "userCliConfigExists" : "permissionsJsonExists"] = c.content.has_value();
    expected["lever0SnapshotBakExists"] = false;
    expected[cli ? "hadNoPriorCliMarkerExists" : "hadNoPriorMarkerExists"] = false;
    const Json tail = json::parse(c.expectedTail).value_or(Json::object());
    for (const auto& [key, value] : tail.items()) expected[key] = value;
    EXPECT_EQ(actual, expected) << json::dumpCompact(actual);
}

const std::string kLongSandbox = R"({"sandbox":{"mode":")" + std::string(1000, 'x') + R"("}})";

INSTANTIATE_TEST_SUITE_P(
    Cursor, LeverSyncDiagnostics,
    testing::Values(
        DiagnosticCase{"cli_missing", &kCli, std::nullopt, "{}"}, DiagnosticCase{"cli_not_json", &kCli, "nope", "{}"},
        DiagnosticCase{"cli_no_permissions", &kCli, R"({"version":3,"approvalMode":"allowlist"})",
                       R"({"cliConfigVersion":3,"approvalMode":"allowlist"})"},
        DiagnosticCase{"cli_empty_permissions", &kCli, R"({"permissions":{}})",
                       R"({"permissionsAllowCount":0,"permissionsDenyCount":0,"permissionsHasShellStar":false,)"
                       R"("permissionsAllowHasReadStar":false,"permissionsAllowHasWriteStar":false})"},
        DiagnosticCase{"cli_rules", &kCli,
                       R"J({"permissions":{"allow":["Shell(*)",5,"Read(src/*)","Write(x)"],"deny":["a","b",null]}})J",
                       R"({"permissionsAllowCount":3,"permissionsDenyCount":2,"permissionsHasShellStar":true,)"
                       R"("permissionsAllowHasReadStar":true,"permissionsAllowHasWriteStar":false})"},
        DiagnosticCase{"cli_long_sandbox", &kCli, kLongSandbox,
                       R"({"cliConfigSandboxPreview":"{\"mode\":\")" + std::string(391, 'x') + R"("})"},
        DiagnosticCase{"permissions_missing", &kPermissions, std::nullopt, "{}"},
        DiagnosticCase{"permissions_prefix_forms_that_count", &kPermissions,
                       R"({"terminalAllowlist":["cd:/tmp","swift test"],"mcpAllowlist":null})",
                       R"({"terminalAllowlistCount":2,"terminalAllowlistHasPrefix_cd":true,)"
                       R"("terminalAllowlistHasPrefix_swift":true,"mcpAllowlistDefined":true})"},
        DiagnosticCase{"permissions_prefix_forms_that_do_not", &kPermissions,
                       R"({"terminalAllowlist":["cd /tmp","swiftc",1]})",
                       R"({"terminalAllowlistCount":2,"terminalAllowlistHasPrefix_cd":false,)"
                       R"("terminalAllowlistHasPrefix_swift":false,"mcpAllowlistDefined":false})"},
        DiagnosticCase{"permissions_list_is_a_string", &kPermissions, R"({"terminalAllowlist":"cd"})",
                       R"({"terminalAllowlistCount":0,"terminalAllowlistHasPrefix_cd":false,)"
                       R"("terminalAllowlistHasPrefix_swift":false,"mcpAllowlistDefined":false})"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CursorLeverSync, DiagnosticsSeeSnapshotAndMarker) {
    CursorHome cursor;
    cursor.write(kCli, "{}");
    CursorCliLeverSync::applyRelaxed(cursor.home.path());
    CursorPermissionsJsonLeverSync::applyRelaxed(cursor.home.path());
    EXPECT_EQ(CursorCliLeverSync::diagnosticSnapshotForLog(cursor.home.path())["lever0SnapshotBakExists"], true);
    auto permissions = CursorPermissionsJsonLeverSync::diagnosticSnapshotForLog(cursor.home.path());
    EXPECT_EQ(permissions["hadNoPriorMarkerExists"], true);
    EXPECT_EQ(permissions["terminalAllowlistCount"], 22);
}

// Hooks of one assistant run at once. Without the lock, a hook could find no snapshot, and before
// it copies the file another hook's relaxation lands, so the "user's" snapshot is a relaxed file.
class LeverSyncConcurrency : public testing::TestWithParam<bool> {};

TEST_P(LeverSyncConcurrency, RacingRelaxAndRestoreNeverLoseTheUsersFiles) {
    const bool priorFiles = GetParam();
    CursorHome cursor;
    const std::string cliOriginal = "{\"version\": 7,\n \"permissions\": {\"allow\": [\"Shell(ls)\"]}}\n";
    const std::string permissionsOriginal = "{\"terminalAllowlist\": [\"git\"], \"mcpAllowlist\": []}";
    if (priorFiles) {
        cursor.write(kCli, cliOriginal);
        cursor.write(kPermissions, permissionsOriginal);
    }

    constexpr int kThreads = 16;
    constexpr int kRounds = 100;
    // What is under test is the locking, not how fast this machine's disk takes 3,200 fsyncs: with
    // the 2 s bound a busy machine lets waiters go ahead unlocked, which is the accident the lock
    // exists to prevent.
    SyncLock::setDefaultWait(std::chrono::minutes(2));
    std::atomic<int> ready{0};
    testing::internal::CaptureStderr();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            ++ready;
            while (ready.load() < kThreads) std::this_thread::yield();
            for (int round = 0; round < kRounds; ++round) {
                for (const Sync* sync : {&kCli, &kPermissions}) {
                    if ((t + round) % 2 == 0)
                        sync->apply(cursor.home.path());
                    else
                        sync->restore(cursor.home.path());
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    SyncLock::setDefaultWait(SyncLock::kDefaultWait);
    for (const Sync* sync : {&kCli, &kPermissions}) sync->restore(cursor.home.path());
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(err.empty()) << "first of " << err.size() << " bytes: " << err.substr(0, 300);

    EXPECT_EQ(cursor.read(kCli), priorFiles ? std::optional(cliOriginal) : std::nullopt);
    EXPECT_EQ(cursor.read(kPermissions), priorFiles ? std::optional(permissionsOriginal) : std::nullopt);
    for (const Sync* sync : {&kCli, &kPermissions}) EXPECT_FALSE(cursor.leftovers(*sync)) << sync->fileName;
    // Nothing of ours may be left in Cursor's folder, temporary files included.
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(cursor.cursorDir)) names.push_back(entry.path().filename());
    EXPECT_EQ(names.size(), priorFiles ? 2u : 0u) << testing::PrintToString(names);
}

INSTANTIATE_TEST_SUITE_P(Cursor, LeverSyncConcurrency, testing::Bool(),
                         [](const auto& info) { return info.param ? "over_user_files" : "over_no_files"; });

}  // namespace
}  // namespace vemlo
