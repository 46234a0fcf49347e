#include "platform/Files.h"
#include "support/Process.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <sys/mount.h>

#include <filesystem>

namespace vemlo {
namespace {

using namespace test;
namespace fs = std::filesystem;

const std::string kInput = R"({"session_id":"s-1","tool_name":"Bash","tool_input":{"command":"ls"},"cwd":"/tmp"})";
const std::string kAllow =
    R"({"hookSpecificOutput":{"hookEventName":"PermissionRequest","decision":{"behavior":"allow"}}})"
    "\n";

struct Hook {
    std::string event, config, original, answer;
};
// At lever 0, with the user's configuration each hook rewrites.
const std::vector<Hook> kHooks = {
    {"CodexPermissionRequest", ".codex/config.toml", "approval_policy = \"never\"  # mine\n[tui]\n", kAllow},
    {"beforeShellExecution", ".cursor/cli-config.json", "{\"permissions\": {\"allow\": [\"Shell(ls)\"]}}\n",
     "{\"permission\":\"allow\"}\n"},
    {"KimiPreToolUse", ".kimi/config.toml", "default_yolo = false\n", ""},
    {"PermissionRequest", ".claude/settings.json", "{}\n", kAllow}};

void writeConfigs(const std::string& home) {
    for (const Hook& h : kHooks) {
        fs::create_directories(fs::path(home + "/" + h.config).parent_path());
        ASSERT_TRUE(files::atomicWrite(home + "/" + h.config, h.original));
    }
}

// A home on a 64 KiB tmpfs filled to the last byte (root only: permission bits prove nothing to
// root, a full file system does). Every hook still answers right; each configuration it could not
// rewrite is the user's own with nothing of ours beside it; the permission log has no torn line.
TEST(FullHome, HooksAnswerAndKeepTheUsersFiles) {
    TempDir folder, agentHome, base;
    const std::string home = base.file("home");
    fs::create_directory(home);
    if (::geteuid() != 0 || ::mount("tmpfs", home.c_str(), "tmpfs", 0, "size=64k,mode=0755") != 0)
        GTEST_SKIP() << "this machine does not let the test mount a tmpfs";
    AgentProcess agent(folder.path(), agentHome.path(), {{"VEMLO_SIM_LEVER", "0"}});
    ASSERT_TRUE(agent.waitForLog("通知通道已订阅"));
    writeConfigs(home);
    const std::string block(4096, 'x');
    if (FILE* filler = std::fopen((home + "/filler").c_str(), "w")) {
        for (size_t size : {block.size(), size_t{1}})
            while (std::fwrite(block.data(), 1, size, filler) == size && std::fflush(filler) == 0) {}
        std::fclose(filler);
    }
    for (const Hook& h : kHooks) {
        const ProcessResult r = runHook(h.event, agent.socketPath(), home, kInput);
        EXPECT_EQ(r.exitCode, 0) << h.event;
        EXPECT_EQ(r.out, h.answer) << h.event;
        EXPECT_EQ(files::readFile(home + "/" + h.config), h.original) << h.event;
        const fs::path config(home + "/" + h.config);  // no temporary file or partial snapshot beside it
        for (const auto& entry : fs::directory_iterator(config.parent_path()))
            EXPECT_TRUE(entry.path() == config ||
                        !entry.path().filename().string().starts_with(config.filename().string()))
                << entry.path();
    }
    readJsonLines(diagnosticsFile(home, "permission-request.log"));  // fails the test on a torn line
    EXPECT_TRUE(socketRequest(agent.socketPath(), R"({"cmd":"status"})").value_or("").starts_with("{"));
    ::umount2(home.c_str(), MNT_DETACH);
}

// Hooks of every kind started at once against one agent: each answers, the shared log holds one
// whole record per permission hook, and the agent still answers. Sanitized builds run a quarter.
TEST(HookLoad, HooksStartedAtOnceAllAnswerAndAllAreLogged) {
#if defined(__SANITIZE_ADDRESS__)
    constexpr int kCount = 50;
#else
    constexpr int kCount = 200;
#endif
    TempDir folder, home, work;
    AgentProcess agent(folder.path(), home.path(), {{"VEMLO_SIM_LEVER", "0"}});
    ASSERT_TRUE(agent.waitForLog("通知通道已订阅"));
    writeConfigs(home.path());
    ASSERT_TRUE(files::atomicWrite(work.file("input"), kInput));
    const std::string script =
        "i=0; while [ $i -lt " + std::to_string(kCount) +
        " ]; do set -- $EVENTS; shift $((i % 4)); "
        "( \"$BIN\" hook $1 <input >out.$i 2>/dev/null; echo $? >rc.$i ) & i=$((i+1)); done; wait";
    const ProcessResult run =
        runProcess({"/bin/sh", "-c", "cd '" + work.path() + "' && " + script},
                   {{"BIN", VEMLO_AGENT_BINARY},
                    {"HOME", home.path()},
                    {"VEMLO_SOCKET", agent.socketPath()},
                    {"EVENTS", "CodexPermissionRequest beforeShellExecution KimiPreToolUse PermissionRequest"}},
                   "", std::chrono::milliseconds(180s));
    ASSERT_EQ(run.exitCode, 0);
    for (int i = 0; i < kCount; ++i) {
        EXPECT_EQ(files::readFile(work.file("rc." + std::to_string(i))), "0\n") << i;
        EXPECT_EQ(files::readFile(work.file("out." + std::to_string(i))), kHooks[i % 4].answer) << i;
    }
    EXPECT_EQ(permissionRecords(home.path()).size(), size_t{kCount});
    EXPECT_TRUE(socketRequest(agent.socketPath(), R"({"cmd":"status"})").value_or("").starts_with("{"));
    EXPECT_EQ(files::readFile(home.file(".codex/config.toml")), "approval_policy = \"on-request\"\n[tui]\n");
}

}  // namespace
}  // namespace vemlo
