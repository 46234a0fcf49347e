#pragma once

#include "platform/Json.h"

#include <sys/types.h>
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
// lever, not a lever of 0) and for a "switchState" that is not a JSON integer: "0", 0.0 or 1e-400
// come from no agent of ours, and only an integer 0 may approve.
std::optional<int64_t> leverInReply(const std::optional<Json>& reply);

// Where the hook looked for the agent and why nobody answered there.
struct NoAgentReply {
    std::string socketPath;          // empty: defaultSocketPath()
    std::string reason;              // control::Failure's words; may be empty
    std::optional<uid_t> otherUser;  // the socket belongs to, or is served by, this user id
};

// What the agent said about the lever.
struct LeverReading {
    std::optional<Json> reply;           // absent when the agent could not be asked or did not answer
    std::optional<int64_t> switchState;  // leverInReply(reply)
    NoAgentReply noReply = {};           // without a reply: where and why

    // Only a lever known to be at 0 approves; every doubt leaves the decision to the person.
    bool isAuto() const { return switchState && *switchState == 0; }
    // The record's "diagnostic": "no_agent_reply", "no_switch_in_reply", "allow" or "ask".
    const char* diagnostic() const;
};

// Asks the agent for the lever: {"cmd":"permission","value":1} with a 5 s time-out.
LeverReading askAgentForLever();

// The common head of a permission record, in this order: "ts", "ide", "hookEvent", "switchState"
// (null when absent), "isAuto", "agentReply", "diagnostic", "tool". Handlers append their own
// members and write it with appendDiagnosticsRecord(kPermissionRequestLog, ...).
Json permissionRecord(std::string_view ide, std::string_view hookEvent, const LeverReading& lever, Json tool);

// Explains on standard error why a permission request was not approved automatically; writes
// nothing when `switchState` is 0.
void emitPermissionStderr(std::string_view ide, std::string_view hookName, const std::optional<Json>& reply,
                          std::optional<int64_t> switchState);
void emitPermissionStderr(std::string_view ide, std::string_view hookName, const LeverReading& lever);

// The text emitPermissionStderr writes (empty when it writes nothing). Without a reply it names
// the socket it tried, why that failed, whose socket it is when another user's, and how to look at
// the agent.
std::string permissionStderrMessage(std::string_view ide, std::string_view hookName, bool hasReply,
                                    std::optional<int64_t> switchState, const NoAgentReply& noReply = {});

}  // namespace vemlo::HookSupport
