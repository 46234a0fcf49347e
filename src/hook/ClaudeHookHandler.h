#pragma once

namespace vemlo::ClaudeHookHandler {

// Answers Claude Code's "PermissionRequest" from the keyboard's lever: "allow" at 0, "ask" in every
// other case, including when the agent cannot be reached. Logs the decision to the diagnostics.
void handlePermissionRequest();

// Claude Code's "PreToolUse": the LED state of a running tool, and a guard. In a session that runs
// tools unasked (any permission mode but "default" and "plan"), PermissionRequest never fires, so
// while the lever is not known to be 0 a tool that the default mode would ask about is answered
// "ask" here, which Claude Code honours in every mode.
void handlePreToolUse();

}  // namespace vemlo::ClaudeHookHandler
