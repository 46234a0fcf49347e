#pragma once

#include "platform/Json.h"
#include "platform/LedState.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// What every permission hook does the same way, whatever the assistant: ask the agent for the
// lever, approve only at a lever known to be 0, explain every other outcome on standard error, and
// log the decision to "permission-request.log". A handler adds only its assistant's answer format
// and side effects.
namespace vemlo::HookSupport {

// The lever a reply names: absent without a reply, for an empty reply object (an answer without a
// lever, not a lever of 0) and for a "switchState" that intValue cannot read.
std::optional<int64_t> leverInReply(const std::optional<Json>& reply);

// What the agent said about the lever.
struct LeverReading {
    std::optional<Json> reply;           // absent when the agent could not be asked or did not answer
    std::optional<int64_t> switchState;  // leverInReply(reply)

    // Only a lever known to be at 0 approves; every doubt leaves the decision to the person.
    bool isAuto() const { return switchState && *switchState == 0; }
    // The record's "diagnostic": "no_agent_reply", "no_switch_in_reply", "allow" or "ask".
    const char* diagnostic() const;
};

// Asks the agent for the lever: {"cmd":"permission","value":<led>} with a 5 s time-out. The agent
// shows `led` while it reads the lever: 1 for a request that waits on the person, 3 for a hook that
// runs before every tool (Gemini's BeforeTool), where most calls need nobody.
LeverReading askAgentForLever(LedState led = LedState::permissionRequest);

// The common head of a permission record, in this order: "ts", "ide", "hookEvent", "switchState"
// (null when absent), "isAuto", "agentReply", "diagnostic", "tool". Handlers append their own
// members and write it with appendDiagnosticsRecord(kPermissionRequestLog, ...).
Json permissionRecord(std::string_view ide, std::string_view hookEvent, const LeverReading& lever, Json tool);

// Explains on standard error why a permission request was not approved automatically; writes
// nothing when `switchState` is 0.
void emitPermissionStderr(std::string_view ide, std::string_view hookName, const std::optional<Json>& reply,
                          std::optional<int64_t> switchState);
void emitPermissionStderr(std::string_view ide, std::string_view hookName, const LeverReading& lever);

// The text emitPermissionStderr writes (empty when it writes nothing).
std::string permissionStderrMessage(std::string_view ide, std::string_view hookName, bool hasReply,
                                    std::optional<int64_t> switchState);

}  // namespace vemlo::HookSupport
