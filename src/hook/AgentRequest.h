#pragma once

#include "platform/ControlClient.h"
#include "platform/Json.h"

#include <optional>
#include <string>

namespace vemlo::HookSupport {

// One request to the agent over a fresh connection to the control socket: the request as one line
// of compact JSON, then a single read of at most 4096 bytes that must hold the whole reply object.
// Absent on every failure (no agent, time-out, a reply that is not a JSON object, or a socket held
// by another user), so a caller cannot be talked into an approval by anything but our own agent.
// `timeoutSeconds` bounds the write and the read separately.
std::optional<Json> sendJsonRequest(const Json& request, double timeoutSeconds);
// `failure`, when given, says why there is no reply.
std::optional<Json> sendJsonRequest(const Json& request, double timeoutSeconds, const std::string& socketPath,
                                    control::Failure* failure = nullptr);

}  // namespace vemlo::HookSupport
