#pragma once

#include <string>

namespace vemlo::ctl::Installation {

// Where the Debian package puts the agent and its systemd user unit, under `root`: "/" on a real
// system, a temporary folder in tests.
std::string packagedAgentPath(const std::string& root);
std::string packagedUnitPath(const std::string& root);

// Both the packaged agent and the packaged unit are there. Then install copies nothing and writes
// no unit of its own: it enables the package's unit and points the hooks at the package's agent.
bool fromPackage(const std::string& root);

enum class Kind { package, userCopy, none };

struct Found {
    Kind kind = Kind::none;
    std::string agentPath;     // the agent the installation runs; empty for none
    bool userUnitToo = false;  // a user unit of ours beside the package: it hides the package's unit
};

// Which installation is on this machine for the user with home folder `home`: the package, a copy
// that install placed in `binDir` with its user unit, or none.
Found find(const std::string& root, const std::string& home, const std::string& binDir);

// One line for `vemloctl status`.
std::string describe(const Found& found);

}  // namespace vemlo::ctl::Installation
