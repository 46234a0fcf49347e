#pragma once

#include "platform/Json.h"

#include <spawn.h>
#include <chrono>
#include <csignal>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vemlo::test {

using namespace std::chrono_literals;
using Env = std::map<std::string, std::string>;

struct ProcessResult {
    int exitCode = -1;  // -1 when it had to be killed or died of a signal
    std::string out, err;
};

// How often `text` occurs in `haystack`, matches not overlapping.
size_t occurrences(const std::string& haystack, const std::string& text);

// Starts `argv` (an absolute path first) with `env` added to (or, with an empty value, removed from)
// this process's environment and the file `actions` given; the process id, or -1.
int spawnProcess(const std::vector<std::string>& argv, const Env& env, posix_spawn_file_actions_t* actions);

// A program in the background: standard output to the file `outputPath`, standard error appended to
// `errorPath` (empty: this process's), standard input from `inputFd` (-1: /dev/null).
class BackgroundProcess {
public:
    BackgroundProcess(const std::vector<std::string>& argv, const Env& env, std::string outputPath, int inputFd = -1,
                      const std::string& errorPath = "");
    ~BackgroundProcess() { stop(); }
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;

    int pid() const { return running() ? pid_ : -1; }
    bool running() const;
    std::string output() const;
    size_t count(const std::string& text) const { return occurrences(output(), text); }
    // Waits until the output holds `text` `times` times; false on time-out or when the process ended short of it.
    bool waitForOutput(const std::string& text, size_t times = 1, std::chrono::milliseconds timeout = 20s) const;
    // Waits for the process to end by itself: its exit code, or minus the signal that ended it; absent on time-out.
    std::optional<int> waitExit(std::chrono::milliseconds timeout = 20s) const;
    // Sends `signal`, and SIGKILL when it has not ended within a generous deadline; the status as waitExit tells it.
    int stop(int signal = SIGTERM);

private:
    std::string outputPath_;
    int pid_ = -1;
    mutable std::optional<int> status_;
};

// Runs a program to completion with `env` applied as spawnProcess does, `input` on standard input.
// Killed after `timeout`.
ProcessResult runProcess(const std::vector<std::string>& argv, const Env& env = {}, const std::string& input = "",
                         std::chrono::milliseconds timeout = 20s);

// `vemloconfig-agent hook <event>` against the agent at `socketPath`, with HOME at `home`.
ProcessResult runHook(const std::string& event, const std::string& socketPath, const std::string& home,
                      const std::string& input = "", const Env& env = {});

// The records of a JSON-lines log, none when it is missing. Fails the calling test on a line that
// is not one JSON object, or on a last line without its line feed (a torn append).
std::vector<Json> readJsonLines(const std::string& path);

// paths::diagnosticsFile; the records of its "permission-request.log", checked as readJsonLines does.
std::string diagnosticsFile(const std::string& home, const std::string& name);
std::vector<Json> permissionRecords(const std::string& home);

// Waits, polling, until `condition` holds or `timeout` passes; returns whether it held.
template <typename F>
bool waitFor(F condition, std::chrono::milliseconds timeout = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// One request over a fresh connection to a Unix socket: writes `request` (an empty one just ends
// the sending side), reads until the peer closes. Absent when the connection fails; empty text when
// the peer closed without replying.
std::optional<std::string> socketRequest(const std::string& socketPath, const std::string& request,
                                         std::chrono::milliseconds timeout = 10s);

// The real agent binary in the background on "<folder>/agent.sock", HOME at `home`, the simulated
// keyboard unless `env` says otherwise; its console log goes to "<folder>/agent.log". The constructor
// returns once the agent listens or has ended.
class AgentProcess {
public:
    AgentProcess(const std::string& folder, const std::string& home, const Env& env = {},
                 const std::vector<std::string>& extraArgs = {});

    const std::string& socketPath() const { return socketPath_; }
    const std::string& home() const { return home_; }
    std::string log() const { return process_.output(); }
    bool waitForLog(const std::string& text, std::chrono::milliseconds timeout = 10s) const {
        return process_.waitForOutput(text, 1, timeout);
    }
    size_t countInLog(const std::string& text) const { return process_.count(text); }
    bool running() const { return process_.running(); }
    int pid() const { return process_.pid(); }
    // Ends it with SIGTERM; its status as BackgroundProcess::waitExit tells it.
    int stop() { return process_.stop(); }

private:
    std::string socketPath_, home_;
    BackgroundProcess process_;
};

}  // namespace vemlo::test
