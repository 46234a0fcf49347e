#pragma once

#include "platform/ProcessInfo.h"

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

// Whether a Kimi session approves tools on its own. Kimi fixes that when it creates (or reloads) a
// session: `default_yolo` from the file it read, or --yolo, --print, --afk on its command line, and
// never looks again; a rewrite of the file changes only later sessions. So the session start records
// what it saw, and the PreToolUse guard asks the record.
//
// The records live in one file of ours, "kimi-sessions.json" in the support folder (0600), changed
// under a lock, at most kMaxSessions of them and none older than kMaxAge.
namespace vemlo::KimiSessionRecord {

inline constexpr size_t kMaxSessions = 64;
inline constexpr std::time_t kMaxAge = 7 * 24 * 3600;
// Kimi's session ids are UUIDs; a longer one is not taken as a key.
inline constexpr size_t kMaxKeyBytes = 128;
// The file is ours and small; a bigger one is not ours to trust and is started afresh.
inline constexpr size_t kMaxFileBytes = 64 * 1024;

// The key a session is recorded under: its id from the hook input (UTF-8, at most kMaxKeyBytes),
// else the Kimi process (pid and start time), else nothing.
std::optional<std::string> sessionKey(const std::optional<std::string>& sessionId,
                                      const std::optional<process::ProcessInfo>& kimi);

// The nearest Kimi process above this hook.
std::optional<process::ProcessInfo> kimiProcess();

// Whether Kimi's command line turns its own approvals off.
bool startedInAutoMode(const process::ProcessInfo& kimi);

// Whether the configuration Kimi reads sets `default_yolo` to true.
bool configSaysAuto(const std::string& home);

// Records `automatic` for `key` at `now`, dropping old and surplus records.
void record(const std::string& home, const std::string& key, bool automatic, std::time_t now);

// What was recorded for `key`; nothing for a session never recorded (or dropped).
std::optional<bool> lookup(const std::string& home, const std::string& key);

// The file's path.
std::string filePath(const std::string& home);

}  // namespace vemlo::KimiSessionRecord
