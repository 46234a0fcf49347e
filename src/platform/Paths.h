#pragma once

#include <string>
#include <string_view>

// The names of our own files, in one place so that writers and readers (the agent, the hooks,
// vemloctl) cannot drift apart. Everything lives in the support folder under the user's home; an
// empty `home` gives relative names, which the file layer refuses.
namespace vemlo::paths {

// "<home>/Library/Application Support/VemloConfig".
std::string supportFolder(const std::string& home);

// "<support folder>/diagnostics": the hooks' logs.
std::string diagnosticsFolder(const std::string& home);
std::string diagnosticsFile(const std::string& home, std::string_view name);

// "<support folder>/current-ide-state.json", mirrored by the agent for other programs.
std::string liveStateFile(const std::string& home);

// "<support folder>/sim-lever": the simulated keyboard's lever, when nothing else names a file.
std::string simLeverFile(const std::string& home);

// Kimi CLI's folder: $KIMI_SHARE_DIR when it is set to an absolute path (Kimi reads its
// configuration there then), else "<home>/.kimi". One answer for the hooks, the agent and vemloctl.
std::string kimiFolder(const std::string& home);

// Lock files in the support folder, one per assistant configuration that hooks rewrite. vemloctl
// takes the Kimi one too, because it edits the same config.toml.
inline constexpr std::string_view kCodexConfigLock = "codex-config.lock";
inline constexpr std::string_view kKimiConfigLock = "kimi-config.lock";
inline constexpr std::string_view kCursorCliConfigLock = "cursor-cli-config.lock";
inline constexpr std::string_view kCursorPermissionsLock = "cursor-permissions.lock";
// Gemini CLI: the record of which secret each Gemini process loaded (GeminiSession).
inline constexpr std::string_view kGeminiSessionsLock = "gemini-sessions.lock";
std::string lockFile(const std::string& home, std::string_view lockName);

// Creates the support folder (and, for the second, its diagnostics folder) 0700, tightening them
// when they already exist and are the user's. False with `err` when the folder is not there after.
bool createSupportFolder(const std::string& home, std::string* err = nullptr);
bool createDiagnosticsFolder(const std::string& home, std::string* err = nullptr);

}  // namespace vemlo::paths
