#pragma once

#include "platform/Json.h"

#include <optional>
#include <string>
#include <string_view>

namespace vemlo::KimiConfigDiagnostic {

// What the Kimi configuration says about `default_yolo`, for the debug logs: "kimiConfigPath",
// "kimiConfigExists", "hookApprovalPolicy"; when the file reads as UTF-8 also
// "default_yolo_valueSnippet" (null without a key line) and, when a key line was found,
// "default_yolo_lineno_hint" = "matched".
Json snapshotForLog();
Json snapshotForLog(const std::string& home);

// snapshotForLog plus "leverSnapshotBakExists": whether the lever sync's snapshot of the file exists.
Json leverSyncSnapshotForLog();
Json leverSyncSnapshotForLog(const std::string& home);

// The first 32 characters of the top-level `default_yolo`'s value as the TOML parser reads it ("true",
// "false", a string's text; another kind of value as written, up to white space), or nothing when
// the file does not read as TOML or has no such key.
std::optional<std::string> probeDefaultYoloValue(std::string_view text);

}  // namespace vemlo::KimiConfigDiagnostic
