// Hook round trip, process start to exit, against a running agent on the simulated keyboard, beside
// a static C program that sends the same request and prints the reply. The variants take turns
// within each round, so the machine's noise falls on all of them alike; only ratios are meaningful.
//
// usage: hook_roundtrip [rounds]   (default 300)

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Variant {
    std::string label;
    std::vector<std::string> argv;
    std::string stdinPath;
    std::vector<std::string> env;
    int exitCode = 0;
    std::vector<double> micros;
};

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (auto& s : strings) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

pid_t spawn(std::vector<std::string> argv, std::vector<std::string> env, const std::string& stdinPath,
            const std::string& stdoutPath) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, stdinPath.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    auto argp = pointers(argv);
    auto envp = pointers(env);
    pid_t pid = -1;
    if (::posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, argp.data(), envp.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// Microseconds from spawning to reaping, or a negative value when the run failed.
double timeOne(const Variant& v, const std::string& stdoutPath) {
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = spawn(v.argv, v.env, v.stdinPath, stdoutPath);
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return -1;
    const auto end = std::chrono::steady_clock::now();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != v.exitCode) return -1;
    return std::chrono::duration<double, std::micro>(end - start).count();
}

std::string readAll(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    return values[static_cast<size_t>(p * static_cast<double>(values.size() - 1))];
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 300;
    // $TMPDIR decides where HOME and the socket live; the agent fsyncs its live state file there.
    const char* tmpdir = std::getenv("TMPDIR");
    std::string tmpl = std::string(tmpdir && *tmpdir ? tmpdir : "/tmp") + "/vemlo-bench-XXXXXX";
    if (!::mkdtemp(tmpl.data())) return 1;
    const std::string folder = tmpl;
    const std::string home = folder + "/home";
    const std::string socket = folder + "/agent.sock";
    const std::string agentLog = folder + "/agent.log";
    std::filesystem::create_directories(home);
    const std::string claudeInput = folder + "/permission-request.json";
    std::ofstream(claudeInput) << R"({"session_id":"0f3c2a9e-1111-2222-3333-444455556666","hook_event_name":)"
                                  R"("PermissionRequest","tool_name":"Bash","tool_input":{"command":"make test"},)"
                                  R"("cwd":"/home/me/project"})";

    const std::vector<std::string> env = {"HOME=" + home, "VEMLO_SOCKET=" + socket, "VEMLO_BLUETOOTH=sim",
                                          "VEMLO_SIM_DELAY_MS=0", "VEMLO_SIM_LEVER=0"};
    pid_t agent = spawn({VEMLO_AGENT_BINARY, "--socket", socket}, env, "/dev/null", agentLog);
    if (agent < 0) return 1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (readAll(agentLog).find("通知通道已订阅") == std::string::npos) {
        if (std::chrono::steady_clock::now() > deadline) {
            std::fprintf(stderr, "the agent did not reach the simulated keyboard\n");
            ::kill(agent, SIGTERM);
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    // The last pair finds no agent: what is left is the cost of the process itself.
    const std::string noSocket = folder + "/none.sock";
    const std::vector<std::string> noAgentEnv = {"HOME=" + home, "VEMLO_SOCKET=" + noSocket};
    auto variant = [](std::string label, std::vector<std::string> args, std::string stdinPath,
                      std::vector<std::string> environment, int exitCode = 0) {
        return Variant{std::move(label), std::move(args), std::move(stdinPath), std::move(environment), exitCode, {}};
    };
    std::vector<Variant> variants = {
        variant("hook Stop", {VEMLO_AGENT_BINARY, "hook", "Stop"}, "/dev/null", env),
        variant("floor state 5", {VEMLO_HOOK_FLOOR, socket, R"({"cmd":"state","value":5})"}, "/dev/null", env),
        variant("hook PermissionRequest", {VEMLO_AGENT_BINARY, "hook", "PermissionRequest"}, claudeInput, env),
        variant("floor permission", {VEMLO_HOOK_FLOOR, socket, R"({"cmd":"permission","value":1})"}, "/dev/null", env),
        variant("hook Stop, no agent", {VEMLO_AGENT_BINARY, "hook", "Stop"}, "/dev/null", noAgentEnv),
        variant("floor, no agent", {VEMLO_HOOK_FLOOR, noSocket, R"({"cmd":"state","value":5})"}, "/dev/null",
                noAgentEnv, 1),
    };

    // One visible round first, so a broken setup shows instead of producing numbers.
    for (const auto& v : variants) {
        const std::string out = folder + "/out.txt";
        if (timeOne(v, out) < 0) {
            std::fprintf(stderr, "%s failed\n", v.label.c_str());
            ::kill(agent, SIGTERM);
            return 1;
        }
        std::printf("%-24s -> %s", v.label.c_str(), readAll(out).c_str());
    }
    for (int warm = 0; warm < 10; ++warm)
        for (const auto& v : variants) (void)timeOne(v, "/dev/null");

    int failures = 0;
    for (int round = 0; round < rounds; ++round) {
        // Rotate the order so no variant always runs right after the same neighbour.
        for (size_t k = 0; k < variants.size(); ++k) {
            Variant& v = variants[(k + static_cast<size_t>(round)) % variants.size()];
            double us = timeOne(v, "/dev/null");
            if (us < 0)
                ++failures;
            else
                v.micros.push_back(us);
        }
    }
    ::kill(agent, SIGTERM);
    ::waitpid(agent, nullptr, 0);

    std::printf("\n%d rounds, failures %d\n", rounds, failures);
    std::printf("%-24s %12s %12s\n", "variant", "median ms", "p90 ms");
    for (const auto& v : variants)
        std::printf("%-24s %12.3f %12.3f\n", v.label.c_str(), percentile(v.micros, 0.5) / 1000,
                    percentile(v.micros, 0.9) / 1000);
    std::printf("ratio hook Stop / floor:              %.2f\n",
                percentile(variants[0].micros, 0.5) / percentile(variants[1].micros, 0.5));
    std::printf("ratio hook PermissionRequest / floor: %.2f\n",
                percentile(variants[2].micros, 0.5) / percentile(variants[3].micros, 0.5));
    std::printf("ratio no agent, hook / floor:         %.2f\n",
                percentile(variants[4].micros, 0.5) / percentile(variants[5].micros, 0.5));
    std::filesystem::remove_all(folder);
    return 0;
}
