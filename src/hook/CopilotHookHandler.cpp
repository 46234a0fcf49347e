#include "hook/CopilotHookHandler.h"

#include "hook/HookSupport.h"

#include <unistd.h>

namespace vemlo::CopilotHookHandler {

void handlePermissionRequest() {
    const HookSupport::StandardInput input = HookSupport::readAndSummarizeStandardInput("Copilot");
    const HookSupport::LeverReading lever = HookSupport::askAgentForLever();
    // Copilot takes text that is not JSON, and a "deny", as a refusal; only silence lets it ask.
    if (lever.isAuto())
        (void)HookSupport::writeAll(STDOUT_FILENO, "{\"behavior\":\"allow\"}\n");
    else
        HookSupport::emitPermissionStderr("Copilot", "permissionRequest", lever);
    HookSupport::appendDiagnosticsRecord(
        HookSupport::kPermissionRequestLog,
        HookSupport::permissionRecord("copilot", "permissionRequest", lever, input.summary));
}

}  // namespace vemlo::CopilotHookHandler
