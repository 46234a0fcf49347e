#include "support/Process.h"

#include "platform/Files.h"
#include "platform/Paths.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstring>

extern char** environ;

namespace vemlo::test {
namespace {

std::vector<std::string> mergedEnvironment(const std::map<std::string, std::string>& changes) {
    std::map<std::string, std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string entry(*e);
        auto eq = entry.find('=');
        if (eq != std::string::npos) env[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    for (const auto& [k, v] : changes) {
        if (v.empty())
            env.erase(k);
        else
            env[k] = v;
    }
    std::vector<std::string> out;
    for (const auto& [k, v] : env) out.push_back(k + "=" + v);
    return out;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (auto& s : strings) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

}  // namespace

int spawnProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                 posix_spawn_file_actions_t* actions) {
    std::vector<std::string> args = argv;
    std::vector<std::string> envStrings = mergedEnvironment(env);
    auto argp = pointers(args);
    auto envp = pointers(envStrings);
    pid_t pid = -1;
    if (::posix_spawn(&pid, args[0].c_str(), actions, nullptr, argp.data(), envp.data()) != 0) return -1;
    return pid;
}

size_t occurrences(const std::string& haystack, const std::string& text) {
    size_t count = 0;
    for (size_t pos = haystack.find(text); pos != std::string::npos; pos = haystack.find(text, pos + text.size()))
        ++count;
    return count;
}

ProcessResult runProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                         const std::string& input, std::chrono::milliseconds timeout) {
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC) || ::pipe2(err, O_CLOEXEC)) return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    int pid = spawnProcess(argv, env, &actions);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);

    ProcessResult result;
    // Feed stdin and drain both outputs together so that no pipe fills up and stalls the child.
    std::string_view pendingInput = input;
    int inFd = in[1];
    if (pendingInput.empty()) {
        ::close(inFd);
        inFd = -1;
    } else {
        ::fcntl(inFd, F_SETFL, O_NONBLOCK);
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    bool outOpen = true, errOpen = true;
    while (outOpen || errOpen) {
        pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {inFd, POLLOUT, 0}};
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        if (::poll(fds, inFd >= 0 ? 3 : 2, static_cast<int>(left.count())) < 0 && errno != EINTR) break;
        char buf[65536];
        for (int i = 0; i < 2; ++i) {
            bool& open = i == 0 ? outOpen : errOpen;
            if (!open || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
            ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
            if (n <= 0)
                open = false;
            else
                (i == 0 ? result.out : result.err).append(buf, static_cast<size_t>(n));
        }
        if (inFd >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t n = ::write(inFd, pendingInput.data(), pendingInput.size());
            if (n > 0) pendingInput.remove_prefix(static_cast<size_t>(n));
            if (n < 0 || pendingInput.empty()) {
                ::close(inFd);
                inFd = -1;
            }
        }
    }
    if (inFd >= 0) ::close(inFd);
    ::close(out[0]);
    ::close(err[0]);
    if (pid < 0) return result;
    int status = 0;
    if (outOpen || errOpen) ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    result.exitCode = (!outOpen && !errOpen && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
    return result;
}

ProcessResult runHook(const std::string& event, const std::string& socketPath, const std::string& home,
                      const std::string& input, const std::map<std::string, std::string>& env) {
    std::map<std::string, std::string> all = env;
    all.emplace("VEMLO_SOCKET", socketPath);
    all.emplace("HOME", home);
    return runProcess({VEMLO_AGENT_BINARY, "hook", event}, all, input);
}

std::vector<Json> readJsonLines(const std::string& path) {
    std::vector<Json> records;
    const std::string text = files::readFile(path).value_or("");
    if (!text.empty()) {
        EXPECT_EQ(text.back(), '\n') << path;
    }
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        auto record = json::parseObject(std::string_view(text).substr(start, end - start));
        EXPECT_TRUE(record) << text.substr(start, end - start);
        if (record) records.push_back(*record);
    }
    return records;
}

std::string diagnosticsFile(const std::string& home, const std::string& name) {
    return paths::diagnosticsFile(home, name);
}

std::vector<Json> permissionRecords(const std::string& home) {
    return readJsonLines(diagnosticsFile(home, "permission-request.log"));
}

std::optional<std::string> socketRequest(const std::string& socketPath, const std::string& request,
                                         std::chrono::milliseconds timeout) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::nullopt;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, socketPath.c_str(), sizeof addr.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return std::nullopt;
    }
    // An empty request is a client that connects and hangs up without a word.
    if (request.empty())
        ::shutdown(fd, SHUT_WR);
    else
        (void)::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string reply;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        char buf[4096];
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) break;
        reply.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return reply;
}

AgentProcess::AgentProcess(const std::string& folder, const std::string& home,
                           const std::map<std::string, std::string>& env, const std::vector<std::string>& extraArgs)
    : socketPath_(folder + "/agent.sock"), home_(home), logPath_(folder + "/agent.log") {
    std::map<std::string, std::string> all = env;
    all.emplace("HOME", home);
    all.emplace("VEMLO_BLUETOOTH", "sim");
    all.emplace("VEMLO_SOCKET", "");
    std::vector<std::string> argv{VEMLO_AGENT_BINARY, "--socket", socketPath_};
    argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, logPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    pid_ = spawnProcess(argv, all, &actions);
    posix_spawn_file_actions_destroy(&actions);
    waitForLog("监听 Unix socket: ");
}

AgentProcess::~AgentProcess() { stop(); }

void AgentProcess::stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
}

bool AgentProcess::running() {
    if (pid_ <= 0) return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
    }
    return true;
}

std::string AgentProcess::log() const { return files::readFile(logPath_).value_or(""); }

bool AgentProcess::waitForLog(const std::string& text, std::chrono::milliseconds timeout) const {
    return waitFor([&] { return log().find(text) != std::string::npos; }, timeout);
}

size_t AgentProcess::countInLog(const std::string& text) const { return occurrences(log(), text); }

}  // namespace vemlo::test
