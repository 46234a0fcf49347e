#pragma once

#include "platform/Json.h"

#include <array>
#include <string>
#include <string_view>

// Cursor's command-line agent takes its approval behaviour from "~/.cursor/cli-config.json". With
// the lever at 0 the Cursor hook makes that file permissive; when the lever leaves 0 it puts the
// user's own file back, byte for byte.
namespace vemlo::CursorCliLeverSync {

// Appended to "permissions"."allow" by the relaxation, in this order, when not already present.
inline constexpr std::array<std::string_view, 10> relaxedAllow = {
    "Shell(*)",  "Shell(cd)",  "Shell(swift)", "Shell(bash)", "Shell(zsh)",
    "Shell(sh)", "Read(**/*)", "Write(**/*)",  "WebFetch(*)", "Mcp(*:*)",
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

}  // namespace vemlo::CursorCliLeverSync
