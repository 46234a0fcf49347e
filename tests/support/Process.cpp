#include "support/Process.h"

#include "platform/Files.h"
#include "platform/Paths.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cstring>

extern char** environ;

namespace vemlo::test {

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv, const Env& env, std::string outputPath,
                                     int inputFd, const std::string& errorPath)
    : outputPath_(std::move(outputPath)) {
    Env merged;
    for (char** e = environ; *e; ++e) {
        const std::string entry(*e);
        if (auto eq = entry.find('='); eq != std::string::npos) merged[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    for (const auto& [k, v] : env) v.empty() ? (void)merged.erase(k) : (void)(merged[k] = v);
    std::vector<std::string> args = argv, envStrings;
    for (const auto& [k, v] : merged) envStrings.push_back(k + "=" + v);
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

bool BackgroundProcess::running() const {
    int status = 0;
    if (status_ || pid_ <= 0 || ::waitpid(pid_, &status, WNOHANG) != pid_) return !status_ && pid_ > 0;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    return false;
}

std::string BackgroundProcess::output() const { return files::readFile(outputPath_).value_or(""); }

int BackgroundProcess::stop(int signal) {
    if (running()) ::kill(pid_, signal);
    if (!waitExit(30s) && running()) ::kill(pid_, SIGKILL);
    return waitExit(30s).value_or(-SIGKILL);
}

ProcessResult runProcess(const std::vector<std::string>& argv, const Env& env, const std::string& input,
                         std::chrono::milliseconds timeout) {
    TempDir io;
    files::atomicWrite(io.file("in"), input);
    const int in = ::open(io.file("in").c_str(), O_RDONLY | O_CLOEXEC);
    BackgroundProcess process(argv, env, io.file("out"), in, io.file("err"));
    ::close(in);
    auto status = process.waitExit(timeout);
    if (!status) process.stop(SIGKILL);
    return {status.value_or(-1) >= 0 ? *status : -1, process.output(), files::readFile(io.file("err")).value_or("")};
}

size_t occurrences(const std::string& haystack, const std::string& text) {
    size_t count = 0;
    for (size_t pos = haystack.find(text); pos != std::string::npos; pos = haystack.find(text, pos + text.size()))
        ++count;
    return count;
}

ProcessResult runHook(const std::string& event, const std::string& socketPath, const std::string& home,
                      const std::string& input, const Env& env) {
    Env all = env;
    all.emplace("VEMLO_SOCKET", socketPath), all.emplace("HOME", home);
    return runProcess({VEMLO_AGENT_BINARY, "hook", event}, all, input);
}

std::vector<Json> readJsonLines(const std::string& path) {
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

std::string diagnosticsFile(const std::string& home, const std::string& name) {
    return paths::diagnosticsFile(home, name);
}

std::vector<Json> permissionRecords(const std::string& home) {
    return readJsonLines(diagnosticsFile(home, "permission-request.log"));
}

std::optional<std::string> socketRequest(const std::string& socketPath, const std::string& request,
                                         std::chrono::milliseconds timeout) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{AF_UNIX, {}};
    std::strncpy(addr.sun_path, socketPath.c_str(), sizeof addr.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return ::close(fd), std::nullopt;
    (void)(request.empty() ? ::shutdown(fd, SHUT_WR) : int(::send(fd, request.data(), request.size(), MSG_NOSIGNAL)));
    const timeval wait{timeout.count() / 1000, timeout.count() % 1000 * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    std::string reply;
    char buf[4096];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) reply.append(buf, size_t(n));
    ::close(fd);
    return reply;
}

AgentProcess::AgentProcess(const std::string& folder, const std::string& home, const Env& env)
    : socketPath_(folder + "/agent.sock"),
      process_({VEMLO_AGENT_BINARY, "--socket", socketPath_},
               [&] {
                   Env all = env;
                   all.insert({{"HOME", home}, {"VEMLO_BLUETOOTH", "sim"}, {"VEMLO_SOCKET", ""}});
                   return all;
               }(),
               folder + "/agent.log") {
    waitForLog("监听 Unix socket: ");
}

}  // namespace vemlo::test
