#pragma once

#include "platform/Json.h"

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// What the permission log records about a Cursor hook run beyond the decision: the state of
// Cursor's two permission files, what Cursor sent, the Cursor-related environment, and the project
// a shell command was about to enter. Cursor's CLI and its IDE decide permissions from different
// files, and these records are how one tells which of them a surprising prompt came from. Nothing
// here writes anything or influences a decision.
namespace vemlo::HookSupport {

// Standard-input members worth logging; Cursor has sent both spellings of several of them.
inline constexpr std::array<std::string_view, 16> cursorStdinLogKeys = {
    "cursorVersion",  "cursor_version",   "appVersion",        "app_version",     "version", "workspacePath",
    "workspace_path", "workspaceFolders", "workspace_folders", "workspaceRoot",   "cwd",     "root",
    "shell",          "shell_type",       "sessionId",         "conversation_id",
};

// The snapshot stored under "cursorDebug": both lever syncs' summaries, a note, the whitelisted
// standard-input fields, the Cursor-related environment and, when `commandPreview` starts with a
// cd, the directory entered and whether it holds a project-level ".cursor/cli.json". The form
// without `home` looks at the current user's home directory.
Json buildCursorHookDebug(std::string_view stdinData, const std::optional<std::string>& commandPreview);
Json buildCursorHookDebug(std::string_view stdinData, const std::optional<std::string>& commandPreview,
                          const std::string& home);

// The whitelisted members of the standard-input object, each rendered to at most 220 characters;
// {"parse":"empty_or_invalid_json"} or {"note":"no_whitelisted_keys_in_stdin"} otherwise.
Json cursorStdinDebugFields(std::string_view stdinData);

// Environment entries whose upper-cased name contains "CURSOR", begins with "VSCODE_" or is "TERM":
// the first 32 by name. Only the values of a few names that say which Cursor, terminal or shell
// integration is running are recorded, without the user information of URLs and cut to 200
// characters; every other value is "<redacted>". The form without `environment` reads this
// process's environment.
Json cursorRelatedEnvForLog();
Json cursorRelatedEnvForLog(std::vector<std::pair<std::string, std::string>> environment);

// The directory a shell command starting with "cd " enters, read without interpreting the shell:
// cut at " && ", ";" or "|", one double-quoted path unquoted, otherwise up to the first blank.
std::optional<std::string> inferredCdPathFromShellCommand(const std::optional<std::string>& command);

}  // namespace vemlo::HookSupport
