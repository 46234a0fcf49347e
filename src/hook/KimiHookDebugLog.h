#pragma once

#include "platform/Json.h"

#include <string>
#include <string_view>

namespace vemlo::KimiHookDebugLog {

// Appends one JSON line to "kimi-hook-debug.log" in the diagnostics directory, whatever the working
// directory: "ts" (UTC, ISO 8601, whole seconds), "event", "pid" and "cwd" (the working directory's
// path, null when it cannot be determined), then every member of `details` at the top level, a member
// with a base key replacing the base value. `details` is an object (null counts as empty). An encoding
// failure or a diagnostics directory that cannot be made costs only this record and a "[tesk-kimi] "
// line on standard error; the caller is never told.
void append(std::string_view event, const Json& details = Json::object());

// Where `append` writes: "kimi-hook-debug.log" in HookSupport::diagnosticsDirectory().
std::string logFilePath();

}  // namespace vemlo::KimiHookDebugLog
