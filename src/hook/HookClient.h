#pragma once

#include <string>

namespace vemlo::HookClient {

// Handles one hook event of an assistant and returns the process exit code, which is always 0:
// an assistant must never see a hook fail.
int run(const std::string& event);

}  // namespace vemlo::HookClient
