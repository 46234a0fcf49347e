#pragma once

namespace vemlo::CopilotHookHandler {

// Answers Copilot CLI's "permissionRequest" from the keyboard's lever: {"behavior":"allow"} at 0 and
// nothing in every other case (lever elsewhere, no lever, no agent), which hands the request to
// Copilot's own flow: it asks the person. Refusals are explained on standard error and every
// decision is logged to the permission log.
void handlePermissionRequest();

}  // namespace vemlo::CopilotHookHandler
