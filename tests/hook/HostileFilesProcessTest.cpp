#include "platform/Files.h"
#include "platform/Paths.h"
#include "support/Process.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace vemlo {
namespace {

using namespace test;
namespace fs = std::filesystem;

const std::string kInput = R"J({"hook_event_name":"PermissionRequest","tool_name":"Bash","cwd":"/work/$(id)"})J";
const std::string kAsk = R"({"hookSpecificOutput":{"hookEventName":"PermissionRequest","decision":{"behavior":"ask"}}})"
                         "\n";

mode_t modeOf(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// Whatever stands at the name of the permission log, or at the Kimi debug log's name in the working
// directory (a repository the assistant works in may plant anything), the hooks answer and write
// nothing through it: a file of the user's elsewhere never changes, a dangling link's target never
// appears, and a FIFO, even one with a reader that would take writes, gets no record.
TEST(LogTraps, TheHooksAnswerAndWriteNothingThroughTheTrap) {
    const std::pair<const char*, std::function<void(const std::string&, const std::string&, const std::string&)>>
        traps[] = {
            {"link_to_a_file", [](auto& log, auto& other, auto&) { fs::create_symlink(other, log); }},
            {"dangling_link", [](auto& log, auto&, auto& ghost) { fs::create_symlink(ghost, log); }},
            {"link_to_stdout", [](auto& log, auto&, auto&) { fs::create_symlink("/dev/stdout", log); }},
            {"fifo", [](auto& log, auto&, auto&) { ASSERT_EQ(::mkfifo(log.c_str(), 0600), 0); }},
            {"fifo_with_a_reader", [](auto& log, auto&, auto&) { ASSERT_EQ(::mkfifo(log.c_str(), 0600), 0); }},
            {"directory", [](auto& log, auto&, auto&) { fs::create_directory(log); }},
        };
    const fs::path previous = fs::current_path();
    for (const auto& [name, plant] : traps) {
        SCOPED_TRACE(name);
        TempDir home, elsewhere, work;
        const std::string log = diagnosticsFile(home.path(), "permission-request.log");
        ASSERT_TRUE(paths::createDiagnosticsFolder(home.path()));
        ASSERT_TRUE(files::atomicWrite(elsewhere.file("bashrc"), "export PATH\n"));
        plant(log, elsewhere.file("bashrc"), elsewhere.file("ghost"));
        plant(work.file("kimi-hook-debug.log"), elsewhere.file("bashrc"), elsewhere.file("ghost"));
        const fs::file_type planted = fs::symlink_status(work.file("kimi-hook-debug.log")).type();
        const int reader = std::string(name) == "fifo_with_a_reader" ? ::open(log.c_str(), O_RDONLY | O_NONBLOCK) : -1;

        fs::current_path(work.path());
        const ProcessResult claude = runHook("PermissionRequest", home.file("no-agent.sock"), home.path(), kInput);
        const ProcessResult kimi = runHook("KimiPreToolUse", home.file("no-agent.sock"), home.path(), kInput);
        fs::current_path(previous);
        EXPECT_EQ(claude.exitCode, 0) << "killed: the hook blocked";
        EXPECT_EQ(claude.out, kAsk);
        EXPECT_EQ(kimi.exitCode, 0) << "killed: the hook blocked";
        EXPECT_EQ(kimi.out, "");
        EXPECT_EQ(fs::symlink_status(work.file("kimi-hook-debug.log")).type(), planted);
        EXPECT_EQ(files::readFile(elsewhere.file("bashrc")), "export PATH\n");
        EXPECT_FALSE(fs::exists(fs::symlink_status(elsewhere.file("ghost"))));
        if (reader >= 0) {
            char byte;
            EXPECT_EQ(::read(reader, &byte, 1), 0) << "a record went into the FIFO";
            ::close(reader);
        }
    }
}

// The folders are private when the hook makes them and are made private when they were not; the
// log too, which holds commands and working directories.
TEST(HookFileModes, FoldersAndLogArePrivate) {
    for (const bool existing : {false, true}) {
        SCOPED_TRACE(existing ? "tightened" : "created");
        TempDir home;
        const std::string log = diagnosticsFile(home.path(), "permission-request.log");
        if (existing) {
            fs::create_directories(paths::diagnosticsFolder(home.path()));
            ASSERT_TRUE(files::atomicWrite(log, "{}\n"));
            for (const std::string& path : {paths::supportFolder(home.path()), paths::diagnosticsFolder(home.path())})
                ::chmod(path.c_str(), 0755);
            ::chmod(log.c_str(), 0644);
        }
        ProcessResult r = runHook("PermissionRequest", home.file("no-agent.sock"), home.path(), kInput);
        EXPECT_EQ(r.out, kAsk);
        EXPECT_EQ(modeOf(paths::supportFolder(home.path())), 0700u);
        EXPECT_EQ(modeOf(paths::diagnosticsFolder(home.path())), 0700u);
        EXPECT_EQ(modeOf(log), 0600u);
        EXPECT_EQ(readJsonLines(log).size(), existing ? 2u : 1u);
    }
}

// With neither $HOME nor a line in the password file (a directory-service user), every permission
// hook still answers, exactly as it does with a home; the binary must not reach for NSS.
TEST(HookWithoutHome, EveryPermissionHookStillAnswers) {
    TempDir home;
    TempDir work;  // whatever a hook may still drop in its working directory stays out of the build tree
    const fs::path previous = fs::current_path();
    fs::current_path(work.path());
    const std::string socket = home.file("no-agent.sock");
    for (const char* event : {"PermissionRequest", "CodexPermissionRequest", "preToolUse", "KimiPreToolUse"}) {
        SCOPED_TRACE(event);
        ProcessResult withHome = runHook(event, socket, home.path(), kInput);
        ProcessResult without = runProcess(
            {"/usr/bin/setpriv", "--reuid=54321", "--regid=54321", "--clear-groups", VEMLO_AGENT_BINARY, "hook", event},
            {{"HOME", ""}, {"VEMLO_SOCKET", socket}}, kInput);
        EXPECT_EQ(without.exitCode, 0) << without.err;
        EXPECT_EQ(without.out, withHome.out);
    }
    fs::current_path(previous);
}

// A home full to the last byte (a 64 KiB tmpfs: permission bits prove nothing to root): at lever 0
// every hook still answers right, and the configuration it could not rewrite is the user's own, byte
// for byte, with no temporary file or partial snapshot left beside it.
TEST(FullHome, HooksAnswerAndKeepTheConfiguration) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount a tmpfs";
    TempDir folder, agentHome, base;
    AgentProcess agent(folder.path(), agentHome.path(), {{"VEMLO_SIM_LEVER", "0"}});
    ASSERT_TRUE(agent.waitForLog("通知通道已订阅"));
    const std::string home = base.file("home"), allow = "{\"behavior\":\"allow\"}}}\n";
    fs::create_directory(home);
    const std::tuple<const char*, std::string, std::string, std::string> cases[] = {
        {"CodexPermissionRequest", ".codex/config.toml", "approval_policy = \"on-request\"  # mine\n", allow},
        {"beforeShellExecution", ".cursor/cli-config.json", "{\"permissions\": {}}\n", "{\"permission\":\"allow\"}\n"},
        {"KimiPreToolUse", ".kimi/config.toml", "default_yolo = false\n", ""},
        {"PermissionRequest", ".claude/settings.json", "{\"model\": \"x\"}\n", allow}};
    for (const auto& [event, name, original, out] : cases) {
        SCOPED_TRACE(event);
        if (::mount("tmpfs", home.c_str(), "tmpfs", 0, "size=64k,mode=0755") != 0) GTEST_SKIP() << "no tmpfs here";
        const fs::path config = home + "/" + name;
        fs::create_directories(config.parent_path());
        ASSERT_TRUE(files::atomicWrite(config, original));
        const int fd = ::open((home + "/filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        for (size_t size : {size_t{4096}, size_t{1}})
            while (::write(fd, std::string(size, 'x').data(), size) == static_cast<ssize_t>(size)) {}
        ::close(fd);

        const ProcessResult r = runHook(event, agent.socketPath(), home, kInput);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_TRUE(out.empty() ? r.out.empty() : r.out.ends_with(out)) << r.out;
        EXPECT_EQ(files::readFile(config), original);
        for (const auto& entry : fs::directory_iterator(config.parent_path()))
            EXPECT_FALSE(entry.path() != config && entry.path().filename().string().starts_with(config.filename().string()))
                << "left beside the configuration: " << entry.path();
        readJsonLines(diagnosticsFile(home, "permission-request.log"));  // fails the test on a torn line
        ::umount2(home.c_str(), MNT_DETACH);
    }
    EXPECT_TRUE(agent.running());
}

}  // namespace
}  // namespace vemlo
