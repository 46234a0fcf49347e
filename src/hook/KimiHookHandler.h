#pragma once

namespace vemlo::KimiHookHandler {

// Serves the Kimi CLI's PreToolUse hook. Kimi's hook runner only acts on a decision that denies the
// tool and we never deny, so nothing is ever written to standard output: the lever steers Kimi
// through `default_yolo` in its configuration instead, rewritten here whenever the agent reports a
// lever position (true at 0, false otherwise). Explains itself on standard error with "[tesk-kimi] "
// lines, in the Kimi debug log and in the shared permission log.
void handlePreToolPermission();

}  // namespace vemlo::KimiHookHandler
