#pragma once

#include "platform/ProcessInfo.h"

namespace vemlo::CopilotHookHandler {

// Answers Copilot CLI's "permissionRequest" from the keyboard's lever: {"behavior":"allow"} at 0 and
// nothing in every other case (lever elsewhere, no lever, no agent), which hands the request to
// Copilot's own flow: it asks the person. Refusals are explained on standard error and every
// decision is logged to the permission log.
void handlePermissionRequest();

// Copilot CLI's "preToolUse": the LED state of a running tool, and a guard. A Copilot started to run
// tools unasked (read from the nearest Copilot process's command line, and COPILOT_ALLOW_ALL: its
// hook input carries no mode) never sends permissionRequest, so while the lever is not known to be
// 0 a tool that is not read-only is answered "ask" in Copilot's format.
void handlePreToolUse();

// Whether that Copilot process was started with an option that runs tools unasked.
bool startedToRunToolsUnasked(const process::ProcessInfo& copilot);

}  // namespace vemlo::CopilotHookHandler
