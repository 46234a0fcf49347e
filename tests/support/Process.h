#pragma once

#include "platform/Json.h"

#include <spawn.h>
#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vemlo::test {

using namespace std::chrono_literals;

struct ProcessResult {
    int exitCode = -1;  // -1 when it had to be killed
    std::string out;
    std::string err;
};

// Runs a program to completion with `env` added to (or, with an empty value, removed from) this
// process's environment, `input` on standard input. Killed after `timeout`.
ProcessResult runProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env = {},
                         const std::string& input = "", std::chrono::milliseconds timeout = 20s);

// Starts `argv` (an absolute path first) with `env` applied as runProcess does and the file
// `actions` given; the process id, or -1.
int spawnProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                 posix_spawn_file_actions_t* actions);

// How often `text` occurs in `haystack`, matches not overlapping.
size_t occurrences(const std::string& haystack, const std::string& text);

// `vemloconfig-agent hook <event>` against the agent at `socketPath`, with HOME at `home`.
ProcessResult runHook(const std::string& event, const std::string& socketPath, const std::string& home,
                      const std::string& input = "", const std::map<std::string, std::string>& env = {});

// The records of a JSON-lines log, none when it is missing. Fails the calling test on a line that
// is not one JSON object, or on a last line without its line feed (a torn append).
std::vector<Json> readJsonLines(const std::string& path);

// paths::diagnosticsFile.
std::string diagnosticsFile(const std::string& home, const std::string& name);

// The records of "permission-request.log" under `home`, checked as readJsonLines does.
std::vector<Json> permissionRecords(const std::string& home);

// Waits, polling, until `condition` holds or `timeout` passes; returns whether it held.
template <typename F>
bool waitFor(F condition, std::chrono::milliseconds timeout = 10s);

// One request over a fresh connection to a Unix socket: writes `request` (an empty one just ends
// the sending side), reads until the peer closes. Absent when the connection fails; empty text when the peer closed
// without replying.
std::optional<std::string> socketRequest(const std::string& socketPath, const std::string& request,
                                         std::chrono::milliseconds timeout = 10s);

// The real agent binary in the background, on a socket in a temporary folder of the caller's,
// HOME set to `home`, the simulated keyboard unless `env` says otherwise. Standard output (the
// console log) goes to a file that tests read.
class AgentProcess {
public:
    AgentProcess(const std::string& folder, const std::string& home, const std::map<std::string, std::string>& env = {},
                 const std::vector<std::string>& extraArgs = {});
    ~AgentProcess();
    AgentProcess(const AgentProcess&) = delete;
    AgentProcess& operator=(const AgentProcess&) = delete;

    const std::string& socketPath() const { return socketPath_; }
    const std::string& home() const { return home_; }
    std::string log() const;
    // Waits until the console log contains `text` (counting from the start of the log).
    bool waitForLog(const std::string& text, std::chrono::milliseconds timeout = 10s) const;
    // How many times `text` occurs in the log so far.
    size_t countInLog(const std::string& text) const;
    bool running();
    int pid() const { return pid_; }
    void stop();

private:
    std::string socketPath_;
    std::string home_;
    std::string logPath_;
    int pid_ = -1;
};

template <typename F>
bool waitFor(F condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

}  // namespace vemlo::test
