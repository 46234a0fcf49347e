#pragma once

#include "platform/Json.h"

#include <sys/types.h>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

// Which secret each running Gemini CLI process loaded. Gemini keeps stamped arguments in its chat
// files and `--resume` shows them to the model again, so the secret changes per process: a stamp
// replayed from an old chat then matches no rule, even while our hook is down. The record is the
// state file "gemini-sessions.json" in the support folder (0600): {"<pid>:<start ticks>": secret or
// null}, null meaning "this process loaded a secret we cannot know", so it is never stamped for.
namespace vemlo::GeminiSession {

// A process by its pid and start time (clock ticks after boot, as /proc/<pid>/stat says), so that
// a reused pid is a different process.
struct ProcessKey {
    pid_t pid = 0;
    uint64_t startTicks = 0;
    std::string text() const;  // "<pid>:<start ticks>"
};

std::string stateFile(const std::string& home);

// The record after a process's first SessionStart: `secret` (null when unknown) for `process`,
// entries of processes for which `alive` is false dropped. A process already recorded keeps its
// entry: Gemini fires SessionStart again on /clear and /resume, long after it loaded its policies.
// `first` tells whether the process was new.
Json recordStart(const Json& record, const ProcessKey& process, const std::optional<std::string>& secret,
                 bool (*alive)(const ProcessKey&), bool* first = nullptr);

// The secret recorded for `process`; nothing when it is not recorded or recorded as unknown.
std::optional<std::string> secretFor(const Json& record, const ProcessKey& process);

// Whether the policy file, last modified at `modified`, was already in place when a process started
// at `processStart` (both wall-clock): only then is its secret the one that process loaded.
bool loadedBy(const timespec& modified, const timespec& processStart);

// The Gemini process running this hook: the nearest `node` ancestor of `from` (the real `gemini`
// relaunches itself as a child node process, and that child loads the policies).
std::optional<ProcessKey> geminiProcess(pid_t from);

// Whether `process` still runs (the same pid with the same start time).
bool isAlive(const ProcessKey& process);

// A process's first SessionStart, under a lock: records the secret in the policy file (or unknown,
// when the file changed after the process started or is not ours), then writes a new secret for
// the next process. A missing policy file is never created: Gemini is then not set up for the lever.
// Returns the recorded secret.
std::optional<std::string> sessionStarted(const std::string& home, const ProcessKey& process);

// The secret of `process` as recorded, read without a lock (the file is replaced whole).
std::optional<std::string> knownSecret(const std::string& home, const ProcessKey& process);

}  // namespace vemlo::GeminiSession
