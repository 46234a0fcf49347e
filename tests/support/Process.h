#pragma once

#include "platform/Files.h"
#include "platform/Json.h"
#include "platform/Paths.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vemlo::test {

using namespace std::chrono_literals;
// Added to this process's environment for a child; an empty value removes the variable.
using Env = std::map<std::string, std::string>;

struct ProcessResult {
    int exitCode = -1;  // -1 when it had to be killed or died of a signal
    std::string out, err;
};

inline size_t occurrences(const std::string& haystack, const std::string& text) {
    size_t count = 0;
    for (size_t pos = haystack.find(text); pos != std::string::npos; pos = haystack.find(text, pos + text.size()))
        ++count;
    return count;
}

// Every deadline is multiplied by $VEMLO_TEST_WAIT_SCALE (1 to 20, default 1). The ThreadSanitizer
// stage sets it: there the agent, the fake bluetoothd and the test each run several times slower, and
// on a loaded machine a start that takes 2 s can take more than 20, which is no hang.
inline std::chrono::milliseconds scaledWait(std::chrono::milliseconds timeout) {
    static const int scale = [] {
        const char* text = std::getenv("VEMLO_TEST_WAIT_SCALE");
        const int n = text ? std::atoi(text) : 1;
        return n >= 1 && n <= 20 ? n : 1;
    }();
    return timeout * scale;
}

template <typename F>
bool waitFor(F condition, std::chrono::milliseconds timeout = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + scaledWait(timeout);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// A program in the background: standard output to the file `outputPath`, standard error appended to
// `errorPath` (empty: ours), standard input from `inputFd` (-1: /dev/null).
class BackgroundProcess {
public:
    BackgroundProcess(std::vector<std::string> args, const Env& env, std::string outputPath, int inputFd = -1,
                      const std::string& errorPath = "")
        : outputPath_(std::move(outputPath)) {
        std::vector<std::string> envStrings;
        for (char** e = environ; *e; ++e) {
            const std::string entry(*e);
            if (!env.count(entry.substr(0, entry.find('=')))) envStrings.push_back(entry);
        }
        for (const auto& [k, v] : env)
            if (!v.empty()) envStrings.push_back(k + "=" + v);
        std::vector<char*> argp, envp;
        for (auto& s : args) argp.push_back(s.data());
        for (auto& s : envStrings) envp.push_back(s.data());
        argp.push_back(nullptr), envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (inputFd >= 0)
            posix_spawn_file_actions_adddup2(&actions, inputFd, 0);
        else
            posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, outputPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (!errorPath.empty())
            posix_spawn_file_actions_addopen(&actions, 2, errorPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (::posix_spawn(&pid_, args[0].c_str(), &actions, nullptr, argp.data(), envp.data()) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~BackgroundProcess() { stop(); }
    BackgroundProcess(const BackgroundProcess&) = delete;

    bool running() const {
        int status = 0;
        if (status_ || pid_ <= 0 || ::waitpid(pid_, &status, WNOHANG) != pid_) return !status_ && pid_ > 0;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
        return false;
    }
    std::string output() const { return files::readFile(outputPath_).value_or(""); }
    size_t count(const std::string& text) const { return occurrences(output(), text); }
    // False on time-out or when the process ended short of `times` occurrences.
    bool waitForOutput(const std::string& text, size_t times = 1, std::chrono::milliseconds timeout = 20s) const {
        waitFor([&] { return count(text) >= times || !running(); }, timeout);
        return count(text) >= times;
    }
    // Its exit code, or minus the signal that ended it; absent on time-out.
    std::optional<int> waitExit(std::chrono::milliseconds timeout = 20s) const {
        return waitFor([&] { return !running(); }, timeout) ? status_ : std::nullopt;
    }
    // Sends `signal`, then SIGKILL if it lingers; the status as waitExit tells it.
    int stop(int signal = SIGTERM) {
        if (running()) ::kill(pid_, signal);
        if (!waitExit(30s) && running()) ::kill(pid_, SIGKILL);
        return waitExit(30s).value_or(-SIGKILL);
    }

private:
    std::string outputPath_;
    pid_t pid_ = -1;
    mutable std::optional<int> status_;
};

// Runs a program to completion (killed after `timeout`), `input` on its standard input.
inline ProcessResult runProcess(const std::vector<std::string>& argv, const Env& env = {},
                                const std::string& input = "", std::chrono::milliseconds timeout = 20s) {
    TempDir io;
    files::atomicWrite(io.file("in"), input);
    const int in = ::open(io.file("in").c_str(), O_RDONLY | O_CLOEXEC);
    BackgroundProcess process(argv, env, io.file("out"), in, io.file("err"));
    ::close(in);
    auto status = process.waitExit(timeout);
    if (!status) process.stop(SIGKILL);
    return {status.value_or(-1) >= 0 ? *status : -1, process.output(), files::readFile(io.file("err")).value_or("")};
}

// `vemloconfig-agent hook <event>` against the agent at `socketPath`, with HOME at `home`.
inline ProcessResult runHook(const std::string& event, const std::string& socketPath, const std::string& home,
                             const std::string& input = "", Env env = {}) {
    env.emplace("VEMLO_SOCKET", socketPath), env.emplace("HOME", home);
    return runProcess({VEMLO_AGENT_BINARY, "hook", event}, env, input);
}

// The records of a JSON-lines log, none when it is missing. Fails the calling test on a line that
// is not one JSON object, or on a last line without its line feed (a torn append).
inline std::vector<Json> readJsonLines(const std::string& path) {
    std::vector<Json> records;
    const std::string text = files::readFile(path).value_or("");
    EXPECT_TRUE(text.empty() || text.back() == '\n') << "a torn last line in " << path;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        auto record = json::parseObject(std::string_view(text).substr(start, end - start));
        EXPECT_TRUE(record) << text.substr(start, end - start);
        if (record) records.push_back(*record);
    }
    return records;
}
inline std::string diagnosticsFile(const std::string& home, const std::string& name) {
    return paths::diagnosticsFile(home, name);
}
inline std::vector<Json> permissionRecords(const std::string& home) {
    return readJsonLines(diagnosticsFile(home, "permission-request.log"));
}

// One request over a fresh connection: writes `request` (an empty one just ends the sending side),
// reads until the peer closes. Absent when the connection fails.
inline std::optional<std::string> socketRequest(const std::string& socketPath, const std::string& request,
                                                std::chrono::milliseconds timeout = 10s) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{AF_UNIX, {}};
    std::strncpy(addr.sun_path, socketPath.c_str(), sizeof addr.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return ::close(fd), std::nullopt;
    (void)(request.empty() ? ::shutdown(fd, SHUT_WR) : int(::send(fd, request.data(), request.size(), MSG_NOSIGNAL)));
    timeout = scaledWait(timeout);
    const timeval wait{timeout.count() / 1000, timeout.count() % 1000 * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    std::string reply;
    char buf[4096];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) reply.append(buf, size_t(n));
    ::close(fd);
    return reply;
}

// The agent binary on "<folder>/agent.sock", HOME at `home`, the simulated keyboard unless `env` says
// otherwise, its log in "<folder>/agent.log"; constructed once it listens or has ended.
class AgentProcess {
public:
    AgentProcess(const std::string& folder, const std::string& home, Env env = {})
        : socketPath_(folder + "/agent.sock"),
          process_({VEMLO_AGENT_BINARY, "--socket", socketPath_},
                   (env.insert({{"HOME", home}, {"VEMLO_BLUETOOTH", "sim"}, {"VEMLO_SOCKET", ""}}), env),
                   folder + "/agent.log") {
        waitForLog("监听 Unix socket: ");
    }

    const std::string& socketPath() const { return socketPath_; }
    std::string log() const { return process_.output(); }
    bool waitForLog(const std::string& text, std::chrono::milliseconds timeout = 10s) const {
        return process_.waitForOutput(text, 1, timeout);
    }
    size_t countInLog(const std::string& text) const { return process_.count(text); }

private:
    std::string socketPath_;
    BackgroundProcess process_;
};

}  // namespace vemlo::test
