// Requests per second and latency of the agent's control socket, beside a minimal C server that
// does nothing but accept, read, reply and close, measured in the same run. Also the agent's
// resident memory when idle and after the load.
//
//   build/bench/bench/agent_throughput [requests-per-run]

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

struct Server {
    pid_t pid = -1;
    std::string socket;
};

Server start(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& socket,
             const std::string& logPath) {
    std::vector<std::string> args = argv, envs = env;
    for (char** e = environ; *e; ++e) envs.emplace_back(*e);
    std::vector<char*> a, e;
    for (auto& s : args) a.push_back(s.data());
    for (auto& s : envs) e.push_back(s.data());
    a.push_back(nullptr);
    e.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    Server s;
    s.socket = socket;
    if (posix_spawn(&s.pid, a[0], &actions, nullptr, a.data(), e.data()) != 0) {
        perror("spawn");
        std::exit(1);
    }
    posix_spawn_file_actions_destroy(&actions);
    return s;
}

bool request(const std::string& path, const std::string& body) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    bool ok = false;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::write(fd, body.data(), body.size()) == static_cast<ssize_t>(body.size())) {
        char buf[256];
        ssize_t n, total = 0;
        while ((n = ::read(fd, buf, sizeof buf)) > 0) total += n;
        ok = total > 0;
    }
    ::close(fd);
    return ok;
}

bool waitForFile(const std::string& path, const std::string& text) {
    for (int i = 0; i < 1000; ++i) {
        std::ifstream in(path);
        std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (all.find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

long residentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

struct Result {
    double rps = 0, p50us = 0, p99us = 0;
    int failures = 0;
};

Result load(const std::string& socket, const std::string& body, int clients, int total) {
    std::vector<std::vector<double>> latencies(static_cast<size_t>(clients));
    std::atomic<int> next{0}, failures{0};
    auto begin = Clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            while (next++ < total) {
                auto t0 = Clock::now();
                if (!request(socket, body)) ++failures;
                latencies[static_cast<size_t>(c)].push_back(
                    std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
            }
        });
    }
    for (auto& t : threads) t.join();
    double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    std::vector<double> all;
    for (auto& l : latencies) all.insert(all.end(), l.begin(), l.end());
    std::sort(all.begin(), all.end());
    Result r;
    r.rps = static_cast<double>(all.size()) / seconds;
    r.p50us = all[all.size() / 2];
    r.p99us = all[all.size() * 99 / 100];
    r.failures = failures;
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    const int total = argc > 1 ? std::atoi(argv[1]) : 20000;
    signal(SIGPIPE, SIG_IGN);
    char dirTemplate[] = "/tmp/vemlo-bench-XXXXXX";
    const std::string dir = mkdtemp(dirTemplate);

    Server agent =
        start({VEMLO_AGENT_BINARY, "--socket", dir + "/agent.sock"},
              {"HOME=" + dir, "VEMLO_BLUETOOTH=sim", "VEMLO_SIM_DELAY_MS=0"}, dir + "/agent.sock", dir + "/agent.log");
    Server floor = start({VEMLO_MINIMAL_SERVER, dir + "/floor.sock"}, {}, dir + "/floor.sock", dir + "/floor.log");
    if (!waitForFile(dir + "/agent.log", "通知通道已订阅") || !waitForFile(dir + "/floor.log", "ready")) {
        std::fprintf(stderr, "servers did not come up\n");
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const long idle = residentKiB(agent.pid);

    std::printf("%-8s %-7s %12s %10s %10s %12s %10s %8s\n", "request", "clients", "agent req/s", "p50 us", "p99 us",
                "floor req/s", "p99 us", "ratio");
    struct Run {
        const char* name;
        std::string body;
    };
    const Run runs[] = {{"status", "{\"cmd\":\"status\"}\n"}, {"state", "{\"cmd\":\"state\",\"value\":3}\n"}};
    int failures = 0;
    for (const auto& run : runs) {
        for (int clients : {1, 8}) {
            load(agent.socket, run.body, clients, total / 10);  // warm-up
            Result a = load(agent.socket, run.body, clients, total);
            Result f = load(floor.socket, run.body, clients, total);
            failures += a.failures + f.failures;
            std::printf("%-8s %-7d %12.0f %10.1f %10.1f %12.0f %10.1f %7.0f%%\n", run.name, clients, a.rps, a.p50us,
                        a.p99us, f.rps, f.p99us, 100.0 * a.rps / f.rps);
        }
    }
    const long after = residentKiB(agent.pid);
    std::printf("agent resident memory: idle %ld KiB, after %d requests %ld KiB\n", idle, total * 44 / 10, after);
    if (failures) std::printf("FAILED requests: %d\n", failures);

    kill(agent.pid, SIGTERM);
    kill(floor.pid, SIGTERM);
    waitpid(agent.pid, nullptr, 0);
    waitpid(floor.pid, nullptr, 0);
    std::string cleanup = "rm -rf '" + dir + "'";
    return std::system(cleanup.c_str()) == 0 && failures == 0 ? 0 : 1;
}
