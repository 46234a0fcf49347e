#include "hook/ClaudeHookHandler.h"

#include "hook/HookSupport.h"

#include <unistd.h>

namespace vemlo::ClaudeHookHandler {

void handlePermissionRequest() {
    const std::string input = HookSupport::readStandardInput();
    Json tool = HookSupport::parseStdinContext(input, "Claude");

    const std::optional<Json> reply = HookSupport::sendJsonRequest(Json{{"cmd", "permission"}, {"value", 1}}, 5.0);
    std::optional<int64_t> switchState;
    if (reply && !reply->empty()) switchState = HookSupport::intValue(HookSupport::member(*reply, "switchState"));

    // Only a lever known to be at 0 approves; every doubt hands the decision back to the person.
    const bool isAuto = switchState && *switchState == 0;
    const char* behavior = isAuto ? "allow" : "ask";
    if (!isAuto) HookSupport::emitPermissionStderr("Claude", "PermissionRequest", reply, switchState);

    const std::string answer = std::string(R"({"hookSpecificOutput":{"hookEventName":"PermissionRequest",)") +
                               R"("decision":{"behavior":")" + behavior + "\"}}}\n";
    (void)HookSupport::writeAll(STDOUT_FILENO, answer);

    const char* diagnostic = !reply ? "no_agent_reply" : !switchState ? "no_switch_in_reply" : behavior;
    Json record = Json::object();
    record["ts"] = HookSupport::diagnosticTimestampFormatter().now();
    record["ide"] = "claude";
    record["hookEvent"] = "PermissionRequest";
    record["switchState"] = switchState ? Json(*switchState) : Json(nullptr);
    record["isAuto"] = isAuto;
    record["agentReply"] = reply.has_value();
    record["diagnostic"] = diagnostic;
    record["tool"] = std::move(tool);
    record["claudeBehavior"] = behavior;
    HookSupport::appendDiagnosticsRecord(HookSupport::kPermissionRequestLog, record);
}

}  // namespace vemlo::ClaudeHookHandler
