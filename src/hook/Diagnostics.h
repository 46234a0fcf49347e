#pragma once

#include "platform/Json.h"

#include <ctime>
#include <string>
#include <string_view>

// The hooks' diagnostics logs: JSON lines in the diagnostics folder, only ever appended to. Writing
// them never changes a hook's answer, so every failure here is silent.
namespace vemlo::HookSupport {

// Appends `line` exactly as given (no line feed is added) with a single write at the end of a file
// of ours (files::appendToFile: never through a link, never blocking on a FIFO, tightened to 0600);
// a missing file is created whole, atomically. Text that is not UTF-8 is dropped.
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

// paths::diagnosticsFolder of the user's home.
std::string diagnosticsDirectory();

// Appends `record` as one compact JSON line to `fileName` in the diagnostics folder, creating the
// folder (0700) first. Without a home directory nothing is written.
void appendDiagnosticsRecord(std::string_view fileName, const Json& record);

// The shared log of permission decisions.
inline constexpr std::string_view kPermissionRequestLog = "permission-request.log";

}  // namespace vemlo::HookSupport
