#include "ctl/GeminiPolicySetup.h"

#include "leversync/GeminiPolicyFile.h"
#include "platform/Files.h"

#include <unistd.h>
#include <cerrno>

namespace vemlo::ctl::GeminiPolicySetup {
namespace {

const char* kShownPath = "~/.gemini/policies/vemloconfig.toml";

}  // namespace

State state(const std::string& home) {
    if (!files::nameTaken(GeminiPolicyFile::path(home))) return State::missing;
    const auto loaded = GeminiPolicyFile::load(home);
    return loaded && GeminiPolicyFile::secretIn(loaded->text) ? State::ours : State::foreign;
}

std::string install(const std::string& home, bool dryRun, bool& failed) {
    const std::string shown = kShownPath;
    switch (state(home)) {
    case State::ours:
        return shown + ": the policy is in place";
    case State::foreign:
        failed = true;
        return shown + ": something that is not ours has the name, so it was left alone; Gemini CLI will ask "
                       "at every lever position until it is moved away and install is run again";
    case State::missing:
        break;
    }
    if (dryRun) return shown + ": would write the policy (0600)";
    std::string err;
    const std::string path = GeminiPolicyFile::path(home);
    if (!files::createDirectories(path.substr(0, path.rfind('/')), &err) || !GeminiPolicyFile::writeNew(home, &err)) {
        failed = true;
        return shown + ": cannot write the policy: " + err;
    }
    return shown + ": wrote the policy (0600); Gemini CLI processes started from now on follow the lever";
}

std::string uninstall(const std::string& home, bool dryRun, bool& failed) {
    const std::string shown = kShownPath;
    switch (state(home)) {
    case State::missing:
        return {};
    case State::foreign:
        return shown + ": not ours; left alone";
    case State::ours:
        break;
    }
    if (dryRun) return shown + ": would remove the policy";
    if (::unlink(GeminiPolicyFile::path(home).c_str()) != 0) {
        failed = true;
        return shown + ": cannot remove the policy: " + files::errorText(errno);
    }
    return shown + ": removed the policy";
}

std::string statusNote(const std::string& home) {
    switch (state(home)) {
    case State::ours:
        return {};
    case State::missing:
        return std::string("; its policy ") + kShownPath + " is missing (run `vemloctl install`)";
    case State::foreign:
        return std::string("; ") + kShownPath + " is not ours, so the lever does nothing at 0";
    }
    return {};
}

}  // namespace vemlo::ctl::GeminiPolicySetup
