#pragma once

#include "platform/Json.h"

#include <array>
#include <string>
#include <string_view>

// The Cursor IDE's "Not in allowlist" prompt for terminal commands is governed by
// "~/.cursor/permissions.json", separately from the CLI configuration. It follows the lever the same
// way: relaxed at 0, the user's own file put back otherwise.
namespace vemlo::CursorPermissionsJsonLeverSync {

// Appended to "terminalAllowlist" by the relaxation, in this order, when not already present.
// Entries are compared whole: "swift build" and "swift" are different entries.
inline constexpr std::array<std::string_view, 22> relaxedTerminalPrefixes = {
    "cd",   "swift", "swift build", "xcodebuild", "git",    "npm",  "yarn", "pnpm", "bun", "deno", "node",
    "make", "cargo", "go",          "python3",    "python", "ruby", "bash", "zsh",  "sh",  "curl", "ls",
};

// The functions without `home` work in the current user's home directory. None throws; problems
// become lines on standard error.
void applyRelaxed();
void applyRelaxed(const std::string& home);
void restoreIfNeeded();
void restoreIfNeeded(const std::string& home);

// A summary of the file and of the snapshot and marker for the permission log.
Json diagnosticSnapshotForLog();
Json diagnosticSnapshotForLog(const std::string& home);

}  // namespace vemlo::CursorPermissionsJsonLeverSync
