#include "hook/AgentRequest.h"

#include "platform/ControlClient.h"
#include "platform/SocketPath.h"

namespace vemlo::HookSupport {

std::optional<Json> sendJsonRequest(const Json& request, double timeoutSeconds) {
    return sendJsonRequest(request, timeoutSeconds, defaultSocketPath());
}

std::optional<Json> sendJsonRequest(const Json& request, double timeoutSeconds, const std::string& socketPath) {
    std::string line = json::dumpCompact(request);
    if (line.empty()) return std::nullopt;
    line += '\n';
    auto reply = control::exchange(socketPath, line, timeoutSeconds);
    if (!reply) return std::nullopt;
    return json::parseObject(*reply);
}

}  // namespace vemlo::HookSupport
