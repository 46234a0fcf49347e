#include "platform/Files.h"
#include "platform/ProcessInfo.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <filesystem>
#include <string>
#include <vector>

namespace vemlo {
namespace {

using process::ProcessInfo;

std::string statLine(pid_t pid, const std::string& comm, pid_t parent, uint64_t start = 4242) {
    return std::to_string(pid) + " (" + comm + ") S " + std::to_string(parent) +
           " 1 1 0 -1 4194560 1 0 0 0 0 0 0 0 20 0 1 0 " + std::to_string(start) + " 1000 10 18446744073709551615\n";
}

TEST(ProcessStat, CommMayHoldWhatEndsIt) {
    const auto odd = process::parseStat(statLine(7, "a) (b ) 9 9", 3, 99));
    ASSERT_TRUE(odd);
    EXPECT_TRUE(odd->pid == 7 && odd->comm == "a) (b ) 9 9" && odd->parent == 3 && odd->startTime == 99);
    for (const std::string& bad : std::vector<std::string>{"", "7 (x) S", "x (sh) S 1", "7 sh S 1 1 1 0 -1 0 0 0 0 0 0 0 0 0 0 0 1 0 5",
                                  statLine(-3, "sh", 1), statLine(7, "sh", -1)})
        EXPECT_FALSE(process::parseStat(bad)) << bad;
}

ProcessInfo program(std::vector<std::string> argv, std::string comm = "", std::string exe = "") {
    ProcessInfo p;
    p.argv = std::move(argv);
    p.comm = std::move(comm);
    p.exe = std::move(exe);
    return p;
}

// How the assistants show up in /proc: a native binary, a script run by an interpreter, or neither.
TEST(ProcessProgram, RecognisedByNameOrByTheScriptAnInterpreterRuns) {
    const std::tuple<ProcessInfo, const char*, bool> cases[] = {
        {program({"/tmp/pkg/copilot", "--allow-all-tools"}), "copilot", true},
        {program({"x"}, "copilot"), "copilot", true},
        {program({"x"}, "", "/opt/bin/copilot"), "copilot", true},
        {program({"node", "--no-warnings", "/usr/lib/node_modules/@github/copilot/index.js"}), "copilot", true},
        {program({"/usr/bin/python3.12", "/home/u/.local/bin/kimi", "--yolo"}), "kimi", true},
        // Not an interpreter: its arguments name files it works on, not the program it is.
        {program({"vim", "/src/copilot/notes.md"}), "copilot", false},
        {program({"node", "/srv/copilot-tools/x.js"}), "copilot", false},
        {program({"python3", "-c", "kimi"}), "kimi", false},
        {program({}), "kimi", false},
    };
    for (const auto& [p, name, expected] : cases)
        EXPECT_EQ(process::runsProgram(p, name), expected) << (p.argv.empty() ? p.comm : p.argv.back());
}

TEST(ProcessProgram, FlagsAloneOrWithValuesAndNeverAfterDoubleDash) {
    const std::vector<std::string_view> flags = {"--yolo", "--allow-tool"};
    const std::pair<std::vector<std::string>, bool> cases[] = {
        {{"kimi", "--yolo"}, true},
        {{"copilot", "--allow-tool=shell(git)"}, true},
        {{"copilot", "--allow-tool", "shell"}, true},
        {{"--yolo"}, false},  // argv[0] is the program
        {{"kimi", "--", "--yolo"}, false},
        {{"kimi", "-p", "run --yolo please"}, false},
        {{"kimi", "--yolo-ish"}, false},
    };
    for (const auto& [argv, expected] : cases) EXPECT_EQ(process::hasFlag(program(argv), flags), expected) << argv.back();
}

// A /proc of our own making: the chain 40 -> 30 -> 20 -> 1, and odd entries.
struct FakeProc {
    test::TempDir root;
    void add(pid_t pid, const std::string& comm, pid_t parent, const std::string& cmdline) {
        const std::string dir = root.file(std::to_string(pid));
        files::createDirectories(dir);
        files::atomicWrite(dir + "/stat", statLine(pid, comm, parent));
        files::atomicWrite(dir + "/cmdline", cmdline);
    }
};

TEST(ProcessAncestry, NearestMatchWithinBoundsAndNeverLooping) {
    FakeProc proc;
    proc.add(1, "init", 0, std::string("init\0", 5));
    proc.add(20, "copilot", 1, std::string("copilot\0--yolo\0", 15));
    proc.add(30, "bash", 20, std::string("bash\0-c\0x\0", 10));
    proc.add(40, "vemloconfig-age", 30, std::string("vemloconfig-agent\0hook\0X", 24));
    proc.add(50, "loop", 50, "loop");  // its own parent
    proc.add(60, "a", 61, "a");
    proc.add(61, "b", 60, "b");  // a cycle
    proc.add(70, "orphan", 71, "orphan");  // its parent is gone
    const auto is = [](const char* name) { return [name](const ProcessInfo& p) { return process::runsProgram(p, name); }; };

    const auto copilot = process::nearestAncestor(40, is("copilot"), proc.root.path());
    ASSERT_TRUE(copilot);
    EXPECT_EQ(copilot->pid, 20);
    EXPECT_EQ(copilot->argv, (std::vector<std::string>{"copilot", "--yolo"}));
    EXPECT_EQ(process::nearestAncestor(40, is("bash"), proc.root.path())->pid, 30);
    const std::pair<pid_t, const char*> none[] = {{40, "kimi"}, {50, "kimi"}, {60, "kimi"}, {70, "kimi"}, {99, "kimi"}};
    for (const auto& [start, name] : none) EXPECT_FALSE(process::nearestAncestor(start, is(name), proc.root.path())) << start;
}

TEST(ProcessAncestry, ThisProcessAndBoundedCommandLines) {
    const auto self = process::read(::getpid());
    ASSERT_TRUE(self);
    EXPECT_EQ(self->parent, ::getppid());
    ASSERT_FALSE(self->argv.empty());
    EXPECT_EQ(process::baseName(self->exe), process::baseName(self->argv[0]));

    FakeProc proc;
    std::string huge;
    for (int i = 0; i < 100'000; ++i) huge += "--arg" + std::to_string(i) + '\0';
    proc.add(5, "big", 1, huge);
    const auto big = process::read(5, proc.root.path());
    ASSERT_TRUE(big);
    EXPECT_EQ(big->argv.size(), process::kMaxArguments);
    EXPECT_EQ(big->argv[1], "--arg1");
}

}  // namespace
}  // namespace vemlo
