#pragma once

#include <string>

namespace vemlo::CursorHookHandler {

// Answers Cursor's "preToolUse", "beforeShellExecution" and "beforeMCPExecution" from the keyboard's
// lever: "allow" at 0, "deny" in every other case, including when the agent cannot be reached. A
// known lever also brings Cursor's own CLI and IDE permission files into line with it. The three
// events differ only in the name that the refusal note and the diagnostics record carry.
void handleToolPermission(const std::string& hookEvent);

}  // namespace vemlo::CursorHookHandler
