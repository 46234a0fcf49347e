#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

// Gemini CLI's user policy of ours, "~/.gemini/policies/vemloconfig.toml". Its only rules allow a tool
// call whose arguments carry a stamp: a secret that the BeforeTool hook writes into them, and only
// while the lever is at 0. Gemini reads policies once per process, so the file names the secret
// the *next* Gemini process will load; the SessionStart hook replaces it each time a process starts
// (GeminiSession). Without a stamp no rule of ours matches and Gemini decides as it always does.
namespace vemlo::GeminiPolicyFile {

// The stamp: a top-level argument "vemloconfig_lever": "<secret>", and, for the shell tool, a
// "dir_path" ending in "/.vemloconfig-lever-<secret>/..", which names the same folder.
inline constexpr std::string_view kStampKey = "vemloconfig_lever";
inline constexpr std::string_view kDirMark = "/.vemloconfig-lever-";
inline constexpr size_t kSecretLength = 32;  // lower-case hex

std::string path(const std::string& home);

// The whole file for `secret`.
std::string text(std::string_view secret);

// The secret of a file that is exactly text(secret); anything else (edited, truncated, a rule
// added) has none, so a stamp is never made for rules we did not write.
std::optional<std::string> secretIn(std::string_view fileText);

// 32 hex digits from the kernel's random source; nothing when it cannot give any.
std::optional<std::string> newSecret();

struct Loaded {
    std::string text;
    timespec modified{};
};

// The file when it is a regular file of the user's, reached without following a link, and small;
// nothing otherwise (FIFOs and devices are refused without blocking).
std::optional<Loaded> load(const std::string& home);

// Replaces the file with text(newSecret()) in one step: 0600, a link at the name replaced, never
// followed. False with `err` on failure; the old file is then untouched.
bool writeNew(const std::string& home, std::string* err = nullptr);

}  // namespace vemlo::GeminiPolicyFile
