#include "platform/Files.h"
#include "platform/Paths.h"
#include "support/Process.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <filesystem>

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
    const std::string traps[] = {"link_to_a_file", "dangling_link",      "link_to_stdout",
                                 "fifo",           "fifo_with_a_reader", "directory"};
    const fs::path previous = fs::current_path();
    for (const std::string& name : traps) {
        SCOPED_TRACE(name);
        TempDir home, elsewhere, work;
        const std::string log = diagnosticsFile(home.path(), "permission-request.log");
        ASSERT_TRUE(paths::createDiagnosticsFolder(home.path()));
        ASSERT_TRUE(files::atomicWrite(elsewhere.file("bashrc"), "export PATH\n"));
        for (const std::string& at : {log, work.file("kimi-hook-debug.log")}) {
            if (name == "link_to_a_file") fs::create_symlink(elsewhere.file("bashrc"), at);
            if (name == "dangling_link") fs::create_symlink(elsewhere.file("ghost"), at);
            if (name == "link_to_stdout") fs::create_symlink("/dev/stdout", at);
            ASSERT_TRUE(!name.starts_with("fifo") || ::mkfifo(at.c_str(), 0600) == 0);
            if (name == "directory") fs::create_directory(at);
        }
        const fs::file_type planted = fs::symlink_status(work.file("kimi-hook-debug.log")).type();
        const int reader = name == "fifo_with_a_reader" ? ::open(log.c_str(), O_RDONLY | O_NONBLOCK) : -1;

        fs::current_path(work.path());
        const ProcessResult claude = runHook("PermissionRequest", home.file("no-agent.sock"), home.path(), kInput);
        const ProcessResult kimi = runHook("KimiPreToolUse", home.file("no-agent.sock"), home.path(), kInput);
        fs::current_path(previous);
        EXPECT_TRUE(claude.exitCode == 0 && claude.out == kAsk) << "the hook blocked or approved";
        EXPECT_TRUE(kimi.exitCode == 0 && kimi.out.empty()) << "the hook blocked or approved";
        EXPECT_TRUE(fs::symlink_status(work.file("kimi-hook-debug.log")).type() == planted &&
                    std::distance(fs::directory_iterator(work.path()), fs::directory_iterator()) == 1);
        EXPECT_EQ(files::readFile(elsewhere.file("bashrc")), "export PATH\n");
        EXPECT_FALSE(fs::exists(fs::symlink_status(elsewhere.file("ghost"))));
        if (reader >= 0) {
            char byte;
            EXPECT_EQ(::read(reader, &byte, 1), 0) << "a record went into the FIFO";
            ::close(reader);
        }
    }
}

// The folders and the log (it holds commands) are private when the hook makes them and made so when not.
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
    if (!canActAsAnotherUser()) GTEST_SKIP() << kNeedsRoot;
    TempDir home, work;  // whatever a hook may still drop in its working directory stays out of the build tree
    const fs::path previous = fs::current_path();
    fs::current_path(work.path());
    const std::string socket = home.file("no-agent.sock");
    for (const char* event : {"PermissionRequest", "CodexPermissionRequest", "preToolUse", "KimiPreToolUse"}) {
        ProcessResult withHome = runHook(event, socket, home.path(), kInput);
        ProcessResult without = runProcess(
            {"/usr/bin/setpriv", "--reuid=54321", "--regid=54321", "--clear-groups", VEMLO_AGENT_BINARY, "hook", event},
            {{"HOME", ""}, {"VEMLO_SOCKET", socket}}, kInput);
        EXPECT_EQ(without.exitCode, 0) << event << without.err;
        EXPECT_EQ(without.out, withHome.out) << event;
    }
    fs::current_path(previous);
}

}  // namespace
}  // namespace vemlo
