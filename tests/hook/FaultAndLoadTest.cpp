#include "platform/Files.h"
#include "support/Process.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>
#include <set>

namespace vemlo {
namespace {

using namespace test;

const std::string kInput =
    R"({"session_id":"s-1","hook_event_name":"X","tool_name":"Bash","command":"ls","tool_input":{"command":"ls"},)"
    R"("cwd":"/tmp"})";
const std::string kClaudeAllow =
    R"({"hookSpecificOutput":{"hookEventName":"PermissionRequest","decision":{"behavior":"allow"}}})"
    "\n";
const std::string& kCodexAllow = kClaudeAllow;
const std::string kCursorAllow = "{\"permission\":\"allow\"}\n";

// The files beside `path` whose names begin with its name: temporary files and snapshots.
std::set<std::string> companionsOf(const std::string& path) {
    const std::string name = std::filesystem::path(path).filename();
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(path).parent_path()))
        if (entry.path().filename().string().starts_with(name)) names.insert(entry.path().filename());
    return names;
}

// A home directory on a 64 KiB tmpfs that the test fills to the last byte. Permission bits prove
// nothing to root, a full file system does.
struct FullHome : testing::Test {
    TempDir folder, agentHome, base;
    std::string home = base.file("home");
    bool mounted = false;

    void SetUp() override {
        std::filesystem::create_directory(home);
        if (::geteuid() != 0 || ::mount("tmpfs", home.c_str(), "tmpfs", 0, "size=64k,mode=0755") != 0)
            GTEST_SKIP() << "this machine does not let the test mount a tmpfs";
        mounted = true;
    }
    void TearDown() override {
        if (mounted) ::umount2(home.c_str(), MNT_DETACH);
    }
    void fill() {
        const int fd = ::open((home + "/filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        const std::string block(4096, 'x');
        for (size_t size : {block.size(), size_t{1}})
            while (::write(fd, block.data(), size) == static_cast<ssize_t>(size)) {}
        ::close(fd);
    }
};

struct FullCase {
    const char* name;
    std::string event, config, original, out;
};
void PrintTo(const FullCase& c, std::ostream* os) { *os << c.name; }
class FullHomeHook : public FullHome, public testing::WithParamInterface<FullCase> {};

// At lever 0 every hook still answers, and answers right; the configuration it could not rewrite is
// the user's own, byte for byte, with no temporary file or partial snapshot left beside it.
TEST_P(FullHomeHook, AnswersAndKeepsTheConfiguration) {
    const FullCase& c = GetParam();
    AgentProcess agent(folder.path(), agentHome.path(), {{"VEMLO_SIM_LEVER", "0"}});
    ASSERT_TRUE(agent.waitForLog("通知通道已订阅"));
    const std::string config = home + "/" + c.config;
    std::filesystem::create_directories(std::filesystem::path(config).parent_path());
    ASSERT_TRUE(files::atomicWrite(config, c.original));
    fill();

    const ProcessResult r = runHook(c.event, agent.socketPath(), home, kInput);

    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(files::readFile(config), c.original);
    EXPECT_EQ(companionsOf(config), std::set<std::string>{std::filesystem::path(config).filename()});
    readJsonLines(diagnosticsFile(home, "permission-request.log"));  // fails the test on a torn line
    EXPECT_TRUE(agent.running());
}

INSTANTIATE_TEST_SUITE_P(
    Table, FullHomeHook,
    testing::Values(
        FullCase{"Codex", "CodexPermissionRequest", ".codex/config.toml",
                 "model = \"o3\"\napproval_policy = \"on-request\"  # mine\n[tui]\n", kCodexAllow},
        FullCase{"Cursor", "beforeShellExecution", ".cursor/cli-config.json",
                 "{\"permissions\": {\"allow\": [\"Shell(ls)\"]}, \"editor\": {\"vimMode\": true}}\n", kCursorAllow},
        FullCase{"Kimi", "KimiPreToolUse", ".kimi/config.toml", "model = \"k2\"\ndefault_yolo = false\n", ""},
        FullCase{"Claude", "PermissionRequest", ".claude/settings.json", "{\"model\": \"x\"}\n", kClaudeAllow}),
    [](const auto& info) { return std::string(info.param.name); });

// 200 hooks of all four assistants started at once against one agent: every one exits 0 with its
// answer, the shared log holds one whole record per permission hook, and the agent is still up.
// Under the sanitizers each hook costs several times as much, so that build runs a quarter of them.
TEST(HookLoad, TwoHundredHooksAtOnce) {
#if defined(__SANITIZE_ADDRESS__)
    constexpr int kHooks = 50;
#else
    constexpr int kHooks = 200;
#endif
    TempDir folder, home, work;
    AgentProcess agent(folder.path(), home.path(), {{"VEMLO_SIM_LEVER", "0"}});
    ASSERT_TRUE(agent.waitForLog("通知通道已订阅"));
    ASSERT_TRUE(files::createDirectories(home.file(".codex")) && files::createDirectories(home.file(".kimi")));
    ASSERT_TRUE(files::atomicWrite(home.file(".codex/config.toml"), "approval_policy = \"on-request\"\n[tui]\n"));
    ASSERT_TRUE(files::atomicWrite(home.file(".kimi/config.toml"), "default_yolo = false\n"));
    ASSERT_TRUE(files::atomicWrite(work.file("input"), kInput));

    const std::vector<std::pair<std::string, std::string>> events{{"PermissionRequest", kClaudeAllow},
                                                                  {"beforeShellExecution", kCursorAllow},
                                                                  {"CodexPermissionRequest", kCodexAllow},
                                                                  {"KimiPreToolUse", ""},
                                                                  {"Stop", ""}};
    const std::string script =
        "i=0; while [ $i -lt " + std::to_string(kHooks) +
        " ]; do case $((i % 5)) in 0) e=PermissionRequest;; 1) e=beforeShellExecution;; "
        "2) e=CodexPermissionRequest;; 3) e=KimiPreToolUse;; 4) e=Stop;; esac; "
        "( \"$BIN\" hook $e <input >out.$i 2>/dev/null; echo $? >rc.$i ) & i=$((i+1)); done; wait";
    const ProcessResult run =
        runProcess({"/bin/sh", "-c", "cd '" + work.path() + "' && " + script},
                   {{"BIN", VEMLO_AGENT_BINARY}, {"HOME", home.path()}, {"VEMLO_SOCKET", agent.socketPath()}}, "",
                   std::chrono::milliseconds(180s));
    ASSERT_EQ(run.exitCode, 0);

    int permissionHooks = 0;
    for (int i = 0; i < kHooks; ++i) {
        const auto& [event, answer] = events[static_cast<size_t>(i % 5)];
        EXPECT_EQ(files::readFile(work.file("rc." + std::to_string(i))), "0\n") << event << " #" << i;
        EXPECT_EQ(files::readFile(work.file("out." + std::to_string(i))), answer) << event << " #" << i;
        if (event != "Stop") ++permissionHooks;
    }
    EXPECT_EQ(permissionRecords(home.path()).size(), static_cast<size_t>(permissionHooks));
    EXPECT_EQ(readJsonLines(diagnosticsFile(home.path(), "codex-hook.log")).size(), size_t{kHooks / 5});
    EXPECT_TRUE(agent.running());
    EXPECT_TRUE(socketRequest(agent.socketPath(), R"({"cmd":"status"})").value_or("").starts_with("{"));
    EXPECT_EQ(files::readFile(home.file(".codex/config.toml")), "approval_policy = \"never\"\n[tui]\n");
}

}  // namespace
}  // namespace vemlo
