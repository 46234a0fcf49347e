// Standard input of hostile sizes and shapes through every permission hook: each run, from process
// start to exit, must stay under one second and 64 MiB resident. No agent listens, so the hooks
// decide at once and the time is reading, parsing, summarising and logging the input. Prints the
// slowest of a few runs per shape and hook, in milliseconds, as wall-clock time and as the hook's
// processor time (user plus system, which the other load on a shared machine moves far less), and
// the largest resident size in MiB; exits 1 when any run took a second or more of wall-clock time
// or 64 MiB or more.
//
// usage: hook_stdin_sizes [runs]   (default 3)

#include <fcntl.h>
#include <malloc.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr size_t kMiB = 1024 * 1024;
constexpr size_t kSize = 16 * kMiB;  // the most a hook reads

// Made one at a time and dropped before the hooks run: a spawned child's resident high-water mark
// starts at what its parent held when it was started.
struct Shape {
    const char* name;
    std::string (*make)();
};

std::string deep() {
    const std::string head = R"({"tool_name":"Bash","tool_input":{"data":)";
    const size_t depth = (kSize - head.size() - 3) / 2;
    return head + std::string(depth, '[') + std::string(depth, ']') + "}}";
}

// Arrays 511 deep, one after another, under a top-level array: the deepest nesting that is not
// refused, in a text whose every value a careless reader would build.
std::string deepArrays() {
    const std::string one = std::string(511, '[') + std::string(511, ']');
    std::string text = "[" + one;
    while (text.size() < kSize - one.size() - 2) text += "," + one;
    return text + "]";
}

std::string wideObject() {
    std::string text = R"({"tool_name":"Bash")";
    for (size_t i = 0; text.size() < kSize - 32; ++i) text += ",\"k" + std::to_string(i) + "\":0";
    return text + "}";
}

std::string longString() {
    const std::string head = R"({"tool_name":"Bash","command":")";
    return head + std::string(kSize - head.size() - 2, 'x') + "\"}";
}

std::string longArray() {
    std::string text = R"({"tool_name":"Bash","tool_input":[0)";
    text.reserve(kSize);
    while (text.size() < kSize - 4) text += ",0";
    return text + "]}";
}

std::string wideCwdObject() {
    // Cursor renders whitelisted members for its record: a huge object under "cwd".
    std::string text = R"({"cwd":{"a":0)";
    for (size_t i = 0; text.size() < kSize - 32; ++i) text += ",\"k" + std::to_string(i) + "\":[1,2]";
    return text + "}}";
}

std::string twiceTheLimit() { return "[\"" + std::string(2 * kSize, 'y') + "\"]"; }

struct Timing {
    double wallMs = -1;
    double cpuMs = -1;
    double rssMiB = -1;
};

Timing runOnce(const std::string& event, const std::string& inputPath, const std::string& home) {
    std::vector<std::string> argv = {VEMLO_AGENT_BINARY, "hook", event};
    std::vector<std::string> env = {"HOME=" + home, "VEMLO_SOCKET=" + home + "/no-agent.sock", "PATH=/usr/bin:/bin"};
    std::vector<char*> argp, envp;
    for (auto& a : argv) argp.push_back(a.data());
    argp.push_back(nullptr);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, inputPath.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = -1;
    const bool started = ::posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, argp.data(), envp.data()) == 0;
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    rusage usage{};
    if (!started || ::wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return {};
    const auto ms = [](const timeval& tv) { return static_cast<double>(tv.tv_sec) * 1e3 + tv.tv_usec / 1e3; };
    return {std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count(),
            ms(usage.ru_utime) + ms(usage.ru_stime), static_cast<double>(usage.ru_maxrss) / 1024};
}

// One run through a fresh copy of this program (`--spawn event input home`), which prints the
// timing: a child's resident high-water mark starts at what its parent held when it was started, and
// this process holds the inputs it made.
Timing runInFreshProcess(const std::string& event, const std::string& inputPath, const std::string& home) {
    int out[2];
    if (::pipe(out) != 0) return {};
    std::vector<std::string> argv = {"/proc/self/exe", "--spawn", event, inputPath, home};
    std::vector<char*> argp;
    for (auto& a : argv) argp.push_back(a.data());
    argp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    pid_t pid = -1;
    const bool started = ::posix_spawn(&pid, "/proc/self/exe", &actions, nullptr, argp.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    char buffer[128] = {};
    const ssize_t n = started ? ::read(out[0], buffer, sizeof buffer - 1) : -1;
    ::close(out[0]);
    int status = 0;
    if (!started || ::waitpid(pid, &status, 0) != pid || n <= 0) return {};
    Timing t;
    if (std::sscanf(buffer, "%lf %lf %lf", &t.wallMs, &t.cpuMs, &t.rssMiB) != 3) return {};
    return t;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::string(argv[1]) == "--spawn") {
        const Timing t = runOnce(argv[2], argv[3], argv[4]);
        std::printf("%f %f %f\n", t.wallMs, t.cpuMs, t.rssMiB);
        return 0;
    }
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    char folderTemplate[] = "/tmp/hook_stdin_sizes.XXXXXX";
    if (!::mkdtemp(folderTemplate)) return 2;
    const std::string folder = folderTemplate;

    const std::vector<Shape> shapes = {{"deep", deep},
                                       {"wide object", wideObject},
                                       {"long string", longString},
                                       {"long array", longArray},
                                       {"arrays 511 deep", deepArrays},
                                       {"wide cwd", wideCwdObject},
                                       {"2x the limit", twiceTheLimit}};
    const std::vector<std::pair<const char*, std::string>> hooks = {{"Claude", "PermissionRequest"},
                                                                    {"Codex", "CodexPermissionRequest"},
                                                                    {"Cursor", "beforeShellExecution"},
                                                                    {"Kimi", "KimiPreToolUse"},
                                                                    {"Copilot", "CopilotPermissionRequest"}};
    std::printf("%-16s %9s", "shape", "MiB");
    for (const auto& [name, event] : hooks) std::printf(" %14s", name);
    std::printf("   (slowest of %d runs: wall-clock ms / processor ms / resident MiB)\n", runs);
    bool allUnderASecond = true;
    for (const Shape& shape : shapes) {
        const std::string input = folder + "/input";
        size_t size = 0;
        {
            const std::string text = shape.make();
            std::ofstream(input, std::ios::binary) << text;
            size = text.size();
        }
        ::malloc_trim(0);  // give the text's pages back before the children start
        std::printf("%-16s %9.1f", shape.name, static_cast<double>(size) / kMiB);
        for (const auto& [name, event] : hooks) {
            Timing slowest{0, 0, 0};
            for (int i = 0; i < runs; ++i) {
                const std::string home = folder + "/home";
                std::filesystem::remove_all(home);
                std::filesystem::create_directories(home);
                const Timing t = runInFreshProcess(event, input, home);
                if (t.wallMs < 0) slowest.wallMs = 1e9;
                slowest.wallMs = std::max(slowest.wallMs, t.wallMs);
                slowest.cpuMs = std::max(slowest.cpuMs, t.cpuMs);
                slowest.rssMiB = std::max(slowest.rssMiB, t.rssMiB);
            }
            allUnderASecond = allUnderASecond && slowest.wallMs < 1000 && slowest.rssMiB < 64;
            std::printf(" %5.0f/%-4.0f/%-3.0f", slowest.wallMs, slowest.cpuMs, slowest.rssMiB);
        }
        std::printf("\n");
    }
    std::filesystem::remove_all(folder);
    std::printf(allUnderASecond ? "every run answered in under 1 s and 64 MiB\n"
                                : "SOME RUN TOOK 1 s OR 64 MiB OR MORE\n");
    return allUnderASecond ? 0 : 1;
}
