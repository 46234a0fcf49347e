#pragma once

#include "platform/Json.h"

#include <chrono>
#include <optional>
#include <string>

namespace vemlo::ctl {

// One request to the agent's control socket and its reply object. Absent, with a reason in
// `error`, when the agent cannot be reached, does not answer in time, or answers with something
// that is not a JSON object.
std::optional<Json> controlRequest(const std::string& socketPath, const Json& request,
                                   std::chrono::milliseconds timeout, std::string& error);

}  // namespace vemlo::ctl
