#pragma once

#include <string>

// vemloctl's part in Gemini CLI's lever: the policy file "~/.gemini/policies/vemloconfig.toml"
// (GeminiPolicyFile) beside the hooks in settings.json. Without it the hooks stamp for no rule and
// Gemini asks as it always does; so a missing or foreign file is never a danger, only a lever that
// does nothing at 0.
namespace vemlo::ctl::GeminiPolicySetup {

enum class State {
    missing,  // nothing has the name
    ours,     // exactly what we write, with some secret
    foreign,  // anything else at the name: a file of the user's, a link, a folder; never touched
};

State state(const std::string& home);

// What install did or would do (`dryRun`), in words for "Gemini CLI: <words>"; `failed` is set when
// the file should be there and is not. A file of ours is left as it is: its secret belongs to the
// Gemini process that starts next.
std::string install(const std::string& home, bool dryRun, bool& failed);

// Removes a file of ours; a foreign one is left alone. The words, or empty when there was nothing.
std::string uninstall(const std::string& home, bool dryRun, bool& failed);

// The words `status` adds to Gemini's hook line; empty when the file is in place.
std::string statusNote(const std::string& home);

}  // namespace vemlo::ctl::GeminiPolicySetup
