#include "hook/AgentRequest.h"

#include "platform/ControlClient.h"
#include "platform/SocketPath.h"

namespace vemlo::HookSupport {

std::optional<Json> sendJsonRequest(const Json& request, double timeoutSeconds) {
    return sendJsonRequest(request, timeoutSeconds, defaultSocketPath());
}

std::optional<Json> sendJsonRequest(const Json& request, double timeoutSeconds, const std::string& socketPath,
                                    control::Failure* failure) {
    std::string line = json::dumpCompact(request);
    if (line.empty()) return std::nullopt;
    line += '\n';
    auto reply = control::exchange(socketPath, line, timeoutSeconds, failure);
    if (!reply) return std::nullopt;
    auto object = json::parseObject(*reply);
    if (!object && failure) *failure = control::Failure{"the reply is not a JSON object", std::nullopt};
    return object;
}

}  // namespace vemlo::HookSupport
