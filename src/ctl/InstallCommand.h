#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace vemlo::ctl::InstallCommand {

struct Options {
    std::string home;
    std::vector<std::string> only;  // assistant keys; empty: every assistant
    bool dryRun = false;
    std::string binDir;       // absolute; the agent is installed here
    std::string agentSource;  // absolute path of the vemloconfig-agent to install
    // Set when the agent and its unit come from the package under this root ("/"): nothing is
    // copied and no unit written; the package's unit is enabled and the hooks run its agent.
    std::string packageRoot;
};

// Places the agent in the bin folder, installs and starts the systemd user unit, and registers
// the hooks of every assistant that is installed. Progress goes to `out`, problems to `err`.
// Returns 0 when everything that was found could be set up, 1 otherwise; a file that could not be
// edited is left exactly as it was and the others are still done.
int install(const Options& options, std::ostream& out, std::ostream& err);

// Takes out what install added: our hooks (only those), the unit (stopped and disabled first) and
// the agent copy; for the package, only the unit's enablement. With `only` set, just those
// assistants' hooks.
int uninstall(const Options& options, std::ostream& out, std::ostream& err);

}  // namespace vemlo::ctl::InstallCommand
