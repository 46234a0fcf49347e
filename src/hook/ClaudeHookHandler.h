#pragma once

namespace vemlo::ClaudeHookHandler {

// Answers Claude Code's "PermissionRequest" from the keyboard's lever: "allow" at 0, "ask" in every
// other case, including when the agent cannot be reached. Logs the decision to the diagnostics.
void handlePermissionRequest();

}  // namespace vemlo::ClaudeHookHandler
