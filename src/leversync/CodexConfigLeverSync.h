#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vemlo::CodexConfigLeverSync {

// Keeps the top-level `approval_policy` of "~/.codex/config.toml" in step with the lever: "never" at
// lever 0, "on-request" otherwise. Codex 0.149.0 and later refuse to start on "untrusted", so that
// value is never written; a leftover one is rewritten like any other. The file is edited as lines of
// text, never re-serialised, so everything else in it (comments, layout, unknown keys) survives byte
// for byte.
// Missing, unreadable or non-UTF-8 files are left alone and never created. Nothing is reported.
void apply(bool switchStateAuto);
void apply(bool switchStateAuto, const std::string& home);

// The line the sync puts at the top level: approval_policy = "never" or approval_policy = "on-request".
std::string targetLine(bool switchStateAuto);

// The new file text for `text`, or nothing when the file must not be written: it already holds the
// target line as its first top-level `approval_policy`, it is not valid UTF-8, or the line edit
// would break it (a Unicode line separator inside a string or comment, the key spelt quoted, a
// line taken for the first table header that is none, or any result that is not TOML when `text` is).
std::optional<std::string> rewrite(std::string_view text, bool switchStateAuto);

// "<home>/.codex/config.toml".
std::string configPath(const std::string& home);

}  // namespace vemlo::CodexConfigLeverSync
