#include "hook/ClaudeHookHandler.h"

#include "hook/HookSupport.h"

#include <unistd.h>

namespace vemlo::ClaudeHookHandler {

void handlePermissionRequest() {
    const HookSupport::StandardInput input = HookSupport::readAndSummarizeStandardInput("Claude");
    const HookSupport::LeverReading lever = HookSupport::askAgentForLever();

    const char* behavior = lever.isAuto() ? "allow" : "ask";
    if (!lever.isAuto()) HookSupport::emitPermissionStderr("Claude", "PermissionRequest", lever);

    const std::string answer = std::string(R"({"hookSpecificOutput":{"hookEventName":"PermissionRequest",)") +
                               R"("decision":{"behavior":")" + behavior + "\"}}}\n";
    (void)HookSupport::writeAll(STDOUT_FILENO, answer);

    Json record = HookSupport::permissionRecord("claude", "PermissionRequest", lever, input.summary);
    record["claudeBehavior"] = behavior;
    HookSupport::appendDiagnosticsRecord(HookSupport::kPermissionRequestLog, record);
}

}  // namespace vemlo::ClaudeHookHandler
