#pragma once

#include <optional>
#include <string>

namespace vemlo::ctl::ServiceUnit {

inline constexpr const char* kUnitName = "vemloconfig-agent.service";

// Where the systemd user manager looks for the user's own units:
// $XDG_CONFIG_HOME/systemd/user, by default ~/.config/systemd/user.
std::string unitPath(const std::string& home);

// The packaged unit, its ExecStart pointed at `agentPath` when the agent is not installed in the
// default ~/.local/bin.
std::string unitText(const std::string& agentPath, const std::string& home);

// The agent that a unit starts when the unit is byte for byte one that unitText wrote (for that
// agent); nothing for any other text, a unit changed by hand included.
std::optional<std::string> agentOfUnitWeWrote(const std::string& text, const std::string& home);

// Whether a unit file's text starts our agent, so that uninstall never deletes someone else's
// unit of the same name.
bool isOurUnit(const std::string& text);

}  // namespace vemlo::ctl::ServiceUnit
