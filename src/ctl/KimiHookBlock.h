#pragma once

#include "ctl/HookRegistrations.h"

#include <string>
#include <string_view>

namespace vemlo::ctl::KimiHookBlock {

// Kimi CLI rewrites its own config.toml, and people keep comments in it, so the file is never
// re-serialised: our [[hooks]] tables are appended as one block of text between these two lines.
inline constexpr std::string_view kBeginMarker =
    "# >>> vemloctl: vemloconfig-agent hooks (added by `vemloctl install`, removed by `vemloctl uninstall`) >>>";
inline constexpr std::string_view kEndMarker = "# <<< vemloctl: vemloconfig-agent hooks <<<";

// Kimi writes "hooks = []" into a fresh config.toml, and TOML forbids [[hooks]] tables beside it.
// Install turns that line into a comment with this prefix; uninstall turns it back.
inline constexpr std::string_view kDisabledLinePrefix = "# disabled by vemloctl (uninstall restores it): ";

// Kimi accepts 1 to 600 seconds; the agent answers well within this.
inline constexpr int kHookTimeoutSeconds = 10;

struct Outcome {
    std::string error;  // non-empty: the text was not changed
    std::string text;   // the new text; equal to the input when nothing changed
    int added = 0;      // [[hooks]] tables written
    int removed = 0;    // [[hooks]] tables of ours taken out
    bool changed = false;
};

// Our block with one [[hooks]] table per Kimi event, `eol` ending each line.
std::string block(const Assistant& kimi, const std::string& agentPath, std::string_view eol);

// Appends our block, or replaces one that is out of date. [[hooks]] tables of ours found outside
// the block (Kimi re-serialised the file) are taken out first. Refuses, leaving the text alone,
// when the text is not TOML, when it defines "hooks" in a form that [[hooks]] tables cannot join
// (other than the empty "hooks = []"), or when the block's markers are damaged.
Outcome install(std::string_view text, const Assistant& kimi, const std::string& agentPath);

// Removes our block with the blank line install put before it, and any [[hooks]] table of ours,
// and restores a "hooks = []" line that install disabled when no [[hooks]] table is left.
Outcome uninstall(std::string_view text, const Assistant& kimi);

// How many of Kimi's events have a [[hooks]] table of ours; 0 for text that is not TOML.
int registeredEvents(std::string_view text, const Assistant& kimi);

}  // namespace vemlo::ctl::KimiHookBlock
