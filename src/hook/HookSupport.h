#pragma once

#include "hook/PermissionHook.h"
#include "hook/StdinSummary.h"
#include "platform/Files.h"
#include "platform/Json.h"

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

// What every hook handler shares: the one-shot request to the agent and the diagnostics logs; with
// the headers included above, the permission-hook steps and the standard-input summary.
namespace vemlo::HookSupport {

// One request to the agent over a fresh connection to the control socket: the request as one line
// of compact JSON, then a single read of at most 4096 bytes that must hold the whole reply object.
// Absent on every failure (no agent, time-out, a reply that is not a JSON object, or a socket held
// by another user), so a caller cannot be talked into an approval by anything but our own agent.
// `timeoutSeconds` bounds the write and the read separately.
std::optional<Json> sendJsonRequest(const Json& request, double timeoutSeconds);
std::optional<Json> sendJsonRequest(const Json& request, double timeoutSeconds, const std::string& socketPath);

// Whether the process at the other end of a connected Unix socket runs under our effective uid.
bool peerIsSameUser(int fd);

// Appends `line` exactly as given (no line feed is added) with a single write at the end of the
// file; a missing file is created whole, atomically. Silent on every failure.
void appendLine(std::string_view line, const std::string& path);

// Local wall-clock time as "yyyy-MM-dd HH:mm:ss", ASCII digits, no zone, no fraction.
class DiagnosticTimestampFormatter {
public:
    DiagnosticTimestampFormatter();
    std::string string(std::time_t time) const;
    std::string now() const;
};

// Created on first use and shared for the life of the process.
const DiagnosticTimestampFormatter& diagnosticTimestampFormatter();

// "<home>/Library/Application Support/VemloConfig/diagnostics".
std::string diagnosticsDirectory();

// Appends `record` as one compact JSON line to `fileName` in the diagnostics directory, creating the
// directory first. Diagnostics never change a hook's answer, so every failure is silent.
void appendDiagnosticsRecord(std::string_view fileName, const Json& record);

// The shared log of permission decisions.
inline constexpr std::string_view kPermissionRequestLog = "permission-request.log";

// Writes all of `bytes` to a descriptor; false on an error.
using files::writeAll;

}  // namespace vemlo::HookSupport
