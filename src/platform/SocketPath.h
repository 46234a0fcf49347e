#pragma once

#include <string>

namespace vemlo {

inline constexpr const char* kDefaultSocketPath = "/tmp/vemlo.sock";

// The control socket's path: $VEMLO_SOCKET when set and non-empty, else /tmp/vemlo.sock. The agent
// uses it as its default and the hooks as their fixed path.
std::string defaultSocketPath();

}  // namespace vemlo
