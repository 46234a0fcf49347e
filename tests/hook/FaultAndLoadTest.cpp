#include "platform/Files.h"
#include "support/Process.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>

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

// At lever 0 every hook still answers right on a full home (a 64 KiB tmpfs filled to the last byte:
// permission bits prove nothing to root); the configuration it could not rewrite is the user's own,
// byte for byte, with no temporary file or partial snapshot left beside it.
TEST(FullHome, HooksAnswerAndKeepTheConfiguration) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount a tmpfs";
    TempDir folder, agentHome, base;
    AgentProcess agent(folder.path(), agentHome.path(), {{"VEMLO_SIM_LEVER", "0"}});
    ASSERT_TRUE(agent.waitForLog("通知通道已订阅"));
    const std::string home = base.file("home");
    std::filesystem::create_directory(home);
    const std::tuple<const char*, std::string, std::string, std::string> cases[] = {
        {"CodexPermissionRequest", ".codex/config.toml", "model = \"o3\"\napproval_policy = \"on-request\"  # mine\n",
         kCodexAllow},
        {"beforeShellExecution", ".cursor/cli-config.json", "{\"permissions\": {\"allow\": [\"Shell(ls)\"]}}\n",
         kCursorAllow},
        {"KimiPreToolUse", ".kimi/config.toml", "model = \"k2\"\ndefault_yolo = false\n", ""},
        {"PermissionRequest", ".claude/settings.json", "{\"model\": \"x\"}\n", kClaudeAllow}};
    for (const auto& [event, name, original, out] : cases) {
        SCOPED_TRACE(event);
        if (::mount("tmpfs", home.c_str(), "tmpfs", 0, "size=64k,mode=0755") != 0) GTEST_SKIP() << "no tmpfs here";
        const std::filesystem::path config = home + "/" + name;
        std::filesystem::create_directories(config.parent_path());
        ASSERT_TRUE(files::atomicWrite(config, original));
        const int fd = ::open((home + "/filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const std::string block(4096, 'x');
        for (size_t size : {block.size(), size_t{1}})
            while (::write(fd, block.data(), size) == static_cast<ssize_t>(size)) {}
        ::close(fd);

        const ProcessResult r = runHook(event, agent.socketPath(), home, kInput);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out, out);
        EXPECT_EQ(files::readFile(config), original);
        for (const auto& entry : std::filesystem::directory_iterator(config.parent_path()))
            EXPECT_TRUE(entry.path() == config || !entry.path().filename().string().starts_with(config.filename().string()))
                << "left beside the configuration: " << entry.path();
        readJsonLines(diagnosticsFile(home, "permission-request.log"));  // fails the test on a torn line
        ::umount2(home.c_str(), MNT_DETACH);
    }
    EXPECT_TRUE(agent.running());
}

// Hooks of four assistants started at once against one agent: every one answers, the shared log
// holds one whole record per permission hook, and the agent is still up.
TEST(HookLoad, FiftyHooksAtOnce) {
    constexpr int kHooks = 50;
    TempDir folder, home, work;
    AgentProcess agent(folder.path(), home.path(), {{"VEMLO_SIM_LEVER", "0"}});
    ASSERT_TRUE(agent.waitForLog("通知通道已订阅"));
    ASSERT_TRUE(files::atomicWrite(work.file("input"), kInput));
    // Hooks that all find the log missing each create it whole, and only one line would stay.
    ASSERT_TRUE(files::createDirectories(diagnosticsFile(home.path(), "")));
    ASSERT_TRUE(files::atomicWrite(diagnosticsFile(home.path(), "permission-request.log"), ""));
    const char* events[] = {"PermissionRequest", "beforeShellExecution", "CodexPermissionRequest", "KimiPreToolUse",
                            "Stop"};
    const std::string answers[] = {kClaudeAllow, kCursorAllow, kCodexAllow, "", ""};
    std::string script;
    for (int i = 0; i < kHooks; ++i)
        script += "( \"$BIN\" hook " + std::string(events[i % 5]) + " <input >out." + std::to_string(i) +
                  " 2>/dev/null; echo $? >rc." + std::to_string(i) + " ) & ";
    const ProcessResult run =
        runProcess({"/bin/sh", "-c", "cd '" + work.path() + "' || exit 1; " + script + "wait"},
                   {{"BIN", VEMLO_AGENT_BINARY}, {"HOME", home.path()}, {"VEMLO_SOCKET", agent.socketPath()}}, "",
                   std::chrono::milliseconds(180s));
    ASSERT_EQ(run.exitCode, 0);
    for (int i = 0; i < kHooks; ++i) {
        EXPECT_EQ(files::readFile(work.file("rc." + std::to_string(i))), "0\n") << events[i % 5] << " #" << i;
        EXPECT_EQ(files::readFile(work.file("out." + std::to_string(i))), answers[i % 5]) << events[i % 5] << " #" << i;
    }
    EXPECT_EQ(permissionRecords(home.path()).size(), size_t{kHooks / 5 * 4});
    EXPECT_TRUE(agent.running());
    EXPECT_TRUE(socketRequest(agent.socketPath(), R"({"cmd":"status"})").value_or("").starts_with("{"));
}

}  // namespace
}  // namespace vemlo
