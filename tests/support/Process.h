#pragma once

#include "platform/Json.h"

#include <chrono>
#include <csignal>
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

// How often `text` occurs in `haystack`, matches not overlapping.
size_t occurrences(const std::string& haystack, const std::string& text);

// Polls until `condition` holds or `timeout` passes; whether it held.
template <typename F>
bool waitFor(F condition, std::chrono::milliseconds timeout = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
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
    BackgroundProcess(const std::vector<std::string>& argv, const Env& env, std::string outputPath, int inputFd = -1,
                      const std::string& errorPath = "");
    ~BackgroundProcess() { stop(); }
    BackgroundProcess(const BackgroundProcess&) = delete;

    int pid() const { return running() ? pid_ : -1; }
    bool running() const;
    std::string output() const;
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
    int stop(int signal = SIGTERM);

private:
    std::string outputPath_;
    int pid_ = -1;
    mutable std::optional<int> status_;
};

// Runs a program to completion (killed after `timeout`), `input` on its standard input.
ProcessResult runProcess(const std::vector<std::string>& argv, const Env& env = {}, const std::string& input = "",
                         std::chrono::milliseconds timeout = 20s);

// `vemloconfig-agent hook <event>` against the agent at `socketPath`, with HOME at `home`.
ProcessResult runHook(const std::string& event, const std::string& socketPath, const std::string& home,
                      const std::string& input = "", const Env& env = {});

// The records of a JSON-lines log, none when it is missing. Fails the calling test on a line that
// is not one JSON object, or on a last line without its line feed (a torn append).
std::vector<Json> readJsonLines(const std::string& path);
std::string diagnosticsFile(const std::string& home, const std::string& name);
std::vector<Json> permissionRecords(const std::string& home);

// One request over a fresh connection: writes `request` (an empty one just ends the sending side),
// reads until the peer closes. Absent when the connection fails.
std::optional<std::string> socketRequest(const std::string& socketPath, const std::string& request,
                                         std::chrono::milliseconds timeout = 10s);

// The real agent binary in the background on "<folder>/agent.sock", HOME at `home`, the simulated
// keyboard unless `env` says otherwise, its log in "<folder>/agent.log"; constructed once it listens
// or has ended.
class AgentProcess {
public:
    AgentProcess(const std::string& folder, const std::string& home, const Env& env = {});

    const std::string& socketPath() const { return socketPath_; }
    std::string log() const { return process_.output(); }
    bool waitForLog(const std::string& text, std::chrono::milliseconds timeout = 10s) const {
        return process_.waitForOutput(text, 1, timeout);
    }
    size_t countInLog(const std::string& text) const { return process_.count(text); }
    bool running() const { return process_.running(); }

private:
    std::string socketPath_;
    BackgroundProcess process_;
};

}  // namespace vemlo::test
