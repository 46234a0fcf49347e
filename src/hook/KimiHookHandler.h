#pragma once

namespace vemlo::KimiHookHandler {

// Serves the Kimi CLI's PreToolUse hook. The lever steers Kimi through `default_yolo` in its
// configuration, rewritten here whenever the agent reports a lever position (true at 0, false
// otherwise) and read by Kimi only when a session starts or reloads. So a session that approves
// tools on its own (see KimiSessionRecord) is stopped here while the lever is not known to be 0:
// the call is denied with a reason that says to enter /reload. Every other call gets no answer, and
// Kimi's own approval decides. Explains itself on standard error with "[tesk-kimi] " lines, in the
// Kimi debug log and in the shared permission log.
void handlePreToolPermission();

// Kimi's SessionStart (also after every /reload): the LED state, and the record of whether this
// session approves tools on its own.
void handleSessionStart();

}  // namespace vemlo::KimiHookHandler
