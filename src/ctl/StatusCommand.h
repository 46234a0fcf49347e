#pragma once

#include "platform/Json.h"

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace vemlo::ctl::StatusCommand {

// How long after the keyboard's last status report it still counts as linked. The agent asks for
// one every 1.5 s, and `status` itself asks for one just before reading the file.
inline constexpr double kLinkedWithinSeconds = 5.0;

struct HookFacts {
    std::string assistant;
    bool installed = false;         // its configuration folder exists
    std::optional<int> registered;  // events with a hook of ours; absent: the file cannot be read
    int events = 0;
    std::string note;  // added to the line, e.g. Gemini CLI's missing policy
};

// Everything `status` looks at, gathered first so that the wording can be checked on its own.
struct Facts {
    std::string socketPath;
    std::optional<Json> reply;  // the agent's reply to {"cmd":"status"}; absent: not reachable
    std::string agentError;
    std::optional<uint32_t> socketUser;  // the other user id that holds the socket, when not ours
    std::optional<Json> liveState;       // the live state file's object
    std::string liveStatePath;           // where it was read; empty: not shown
    double now = 0;                      // seconds since 1970, the clock of the live state file's times
    std::vector<HookFacts> hooks;
    std::string installation;  // which installation vemloctl found, in words; empty: not shown
};

struct Report {
    std::vector<std::string> lines;
    bool allWell = false;  // agent running, keyboard linked, lever known
};

Report describe(const Facts& facts);

// The words for an LED state value.
std::string describeLed(int64_t state);

// The words for a lever position, or for an unknown one.
std::string describeLever(std::optional<int64_t> lever);

// Asks the agent and reads the live state file and the hook files under `home`; prints the report,
// with `installation` (see Installation::describe) as one of its lines. Returns 0 when all is well,
// 1 otherwise.
// With `only` (assistant keys), just those assistants' hooks are shown.
int status(const std::string& home, const std::string& socketPath, std::ostream& out,
           const std::string& installation = "", const std::vector<std::string>& only = {});

// Sets (0-255) or clears (absent) the temporary software lever. Returns 0, or 1 when the agent
// cannot be reached. When the agent runs on the simulated keyboard, whose next report puts its own
// lever back, says how to move that one instead.
// The lever file of the simulated keyboard when the agent serving `socketPath` (a process of ours)
// runs on it, read from that process's environment; absent otherwise or when that cannot be told.
std::optional<std::string> simulatedLeverFile(const std::string& socketPath);

int lever(const std::string& socketPath, std::optional<int64_t> value, std::ostream& out, std::ostream& err);

}  // namespace vemlo::ctl::StatusCommand
