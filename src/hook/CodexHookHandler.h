#pragma once

#include "platform/LedState.h"

namespace vemlo::CodexHookHandler {

// Codex's activity events: forwards the LED state to the agent, answers Codex with "{}" and logs the
// event to "codex-hook.log". On "CodexSessionStart" (LedState::sessionStarted) it also asks the agent for the lever
// and brings Codex's approval_policy in line with it before the session reads its configuration.
void handleState(LedState state);

// Codex's "PreToolUse": the LED state and its "codex-hook.log" record, as handleState, and a guard.
// A session that will not ask (its `permission_mode` shows a bypass, as every `codex exec` does) runs
// a tool without PermissionRequest, so while the lever is not known to be 0 the call is denied with
// a reason that says how to get Codex's own prompts back. Otherwise the answer is "{}".
void handlePreToolUse();

// Codex's "PermissionRequest": approves when the lever is at 0, otherwise leaves the decision to
// Codex's own approval flow. Syncs approval_policy whenever the lever is known and logs the decision
// to both "codex-hook.log" and "permission-request.log".
void handlePermissionRequest();

}  // namespace vemlo::CodexHookHandler
