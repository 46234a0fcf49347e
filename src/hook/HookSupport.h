#pragma once

// What every hook handler shares, one header per job: the one-shot request to the agent
// (AgentRequest), the diagnostics logs (Diagnostics), the permission-hook steps (PermissionHook) and
// the summary of standard input (StdinSummary).
#include "hook/AgentRequest.h"
#include "hook/Diagnostics.h"
#include "hook/PermissionHook.h"
#include "hook/StdinSummary.h"
#include "platform/Files.h"

namespace vemlo::HookSupport {

// Writes all of `bytes` to a descriptor; false on an error.
using files::writeAll;

}  // namespace vemlo::HookSupport
