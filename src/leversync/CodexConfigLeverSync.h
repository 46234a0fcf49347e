#pragma once

#include "platform/Json.h"
#include "platform/Toml.h"

#include <functional>
#include <string>
#include <string_view>

namespace vemlo::CodexConfigLeverSync {

// The line the sync keeps at the top level of "~/.codex/config.toml", whatever the lever: Codex then
// asks before each tool call that needs it, and our PermissionRequest hook answers for the lever.
// "never" would let a session started at lever 0 run every later tool unasked after the lever
// moves, since Codex reads its configuration only at start; "untrusted" keeps Codex 0.149.0 and
// later from starting. Both are moved to "on-request" like any other value.
inline constexpr std::string_view kTargetLine = R"(approval_policy = "on-request")";

// Told when the file is left alone for a reason other than already holding the target: the event
// "codex_lever_sync_left_alone" with "reason" (toml::KeyEdit's, or "write_failed"), "detail" and
// "approvalPolicyNever".
using Report = std::function<void(std::string_view event, const Json& details)>;

// Sets the top-level `approval_policy` to "on-request". The key is found by the TOML parser and
// only its lines change (or the line goes above the first table header); the result must read as
// the file did but for that key, or the file stays as it was. The file is never re-serialised, so
// comments, layout and line ends survive byte for byte. Missing files are never created. A file left
// alone says why on standard error and to `report`, loudly when it stays at "never" while the lever
// (`switchStateAuto` false) is not at 0, since Codex will then not ask.
void apply(bool switchStateAuto, const Report& report = {});
void apply(bool switchStateAuto, const std::string& home, const Report& report = {});

// The new file text for `text`, or why there is none (toml::KeyEdit).
toml::KeyEdit rewrite(std::string_view text);

// "<home>/.codex/config.toml".
std::string configPath(const std::string& home);

}  // namespace vemlo::CodexConfigLeverSync
