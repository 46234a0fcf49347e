#pragma once

#include "platform/LedState.h"

namespace vemlo::CodexHookHandler {

// Codex's activity events: forwards the LED state to the agent, answers Codex with "{}" and logs the
// event to "codex-hook.log". On "CodexSessionStart" (LedState::sessionStarted) it also asks the agent for the lever
// and brings Codex's approval_policy in line with it before the session reads its configuration.
void handleState(LedState state);

// Codex's "PermissionRequest": approves when the lever is at 0, otherwise leaves the decision to
// Codex's own approval flow. Syncs approval_policy whenever the lever is known and logs the decision
// to both "codex-hook.log" and "permission-request.log".
void handlePermissionRequest();

}  // namespace vemlo::CodexHookHandler
