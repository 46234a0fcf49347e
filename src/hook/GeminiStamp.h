#pragma once

#include "platform/Json.h"

#include <optional>
#include <string>
#include <string_view>

// What Gemini CLI's BeforeTool hook answers. Gemini checks its policy on the arguments a hook hands
// back, and our policy allows only arguments stamped with the secret the Gemini process loaded
// (GeminiPolicyFile). So the whole grant is the stamp: an answer without one, or no usable answer
// at all, leaves the call to Gemini's own default (its dialog, or "denied by policy" with -p).
namespace vemlo::GeminiStamp {

// Tools that are questions to the person or mode switches: they keep Gemini's own rules.
bool neverStamped(std::string_view toolName);

// The arguments with every stamp removed: the top-level key, and a "dir_path" carrying the mark is
// cut back to the folder before it ("." when nothing is left). A stamp in the arguments was written
// by the model (a guess, or one copied from a resumed chat) and must never count.
Json withoutStamp(const Json& toolInput);

// The arguments stamped with `secret`; for the shell tool also "dir_path" = "<dir or .>/.vemloconfig-
// lever-<secret>/..", the same folder to Gemini, for the sub-command checks. Nothing when they cannot
// be stamped (not an object, a "dir_path" that is not a string).
std::optional<Json> stamped(std::string_view toolName, const Json& toolInput, std::string_view secret);

// The hook's answer to a BeforeTool event: with `secret` (given only at lever 0 and when the
// process's secret is known) the stamped arguments; otherwise {} or, when the model wrote a stamp
// itself, the arguments without it. `stampedOut`, when given, tells whether the answer grants.
Json answer(const Json& event, const std::optional<std::string>& secret, bool* stampedOut = nullptr);

}  // namespace vemlo::GeminiStamp
