#pragma once

#include "hook/StdinSummary.h"
#include "platform/Json.h"
#include "platform/LedState.h"

#include <sys/types.h>
#include <cstdint>
#include <optional>
#include <span>
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

// The text emitPermissionStderr writes (empty when it writes nothing). Without a reply it names
// the socket it tried, why that failed, whose socket it is when another user's, and how to look at
// the agent.
std::string permissionStderrMessage(std::string_view ide, std::string_view hookName, bool hasReply,
                                    std::optional<int64_t> switchState, const NoAgentReply& noReply = {});

}  // namespace vemlo::HookSupport

// The one sequence of every hook that decides about a tool call, whatever the assistant: read the
// input, ask the agent, decide, answer in the assistant's format, record, sync. An assistant is a
// table: the rules that decide (first match wins) and the text of each answer, plus a few steps of
// its own (its debug logs, its lever syncs). A guard that stops a session running tools unasked is
// one more rule, not another path.
namespace vemlo::PermissionHook {

// What a rule decides. `none` leaves the call to the assistant's own flow (no answer of ours, or
// the plain "{}" of an activity event).
enum class Verdict : uint8_t { none, allow, ask, deny };
const char* verdictName(Verdict verdict);

// The input members the rules read, parsed once. Absent when the input did not carry them as text.
struct InputFields {
    std::optional<std::string> permissionMode;  // "permission_mode" (Claude Code, Codex)
    std::optional<std::string> toolName;        // "tool_name", else "toolName" (Copilot)
    std::optional<std::string> sessionId;       // "session_id", else "sessionId"
};
InputFields readInputFields(std::string_view input);

// One run of a hook: what it read, what the agent said, what was decided.
struct Event {
    std::string name;  // the event name as the assistant registered it
    HookSupport::StandardInput input;
    InputFields fields;
    std::optional<Json> stateReply;  // an activity event's reply to its LED state
    bool leverAsked = false;
    HookSupport::LeverReading lever;
    Verdict verdict = Verdict::none;
    std::string_view rule;  // the rule that decided; empty when none did
    std::string reason;     // what the person is told; empty when nothing is to be said
    Json recordExtras = Json::object();  // the assistant's own members of the record, added last
};

struct Rule {
    std::string_view name;
    bool (*applies)(const Event& event);
    Verdict verdict;
    std::string (*reason)(const Event& event) = nullptr;  // null: no reason is given
};

struct Answer {
    Verdict verdict;
    std::string (*text)(const Event& event);  // one line for standard output, its line feed included
};

struct Assistant {
    std::string_view label;      // as notes and the input summary name it: "Claude"
    std::string_view ide;        // as records name it: "claude"
    std::string_view hookEvent;  // the record's "hookEvent" and the note's hook name; empty: the event name
    // A permission event asks with "permission" and `led` (1 unless the assistant asks on every tool
    // call, where the LED shows the tool running), and is always recorded.
    // An activity event sends its LED state and asks for the lever ("status") only when `needsLever`
    // says a guard may apply; it is recorded only when a rule stopped the call.
    bool permissionEvent = true;
    LedState led = LedState::permissionRequest;
    bool (*needsLever)(const Event& event) = nullptr;
    std::span<const Rule> rules;
    std::span<const Answer> answers;  // a verdict without a row writes nothing
    // The assistant's own steps, each optional, in the order they run.
    void (*afterInput)(Event& event) = nullptr;
    void (*afterLever)(Event& event) = nullptr;
    void (*beforeAnswer)(Event& event) = nullptr;
    void (*afterAnswer)(Event& event) = nullptr;
};

// Runs the sequence for `assistant` on the event `eventName`, standard input to standard output.
void run(const Assistant& assistant, std::string_view eventName);

// The lever asked for once more ("status"), for a sync that has taken its lock: only a reading from
// after the lock may be written. Nothing when the agent does not tell.
std::optional<int64_t> askAgentForLeverAgain();

// The rules' building blocks.
inline bool leverIsAuto(const Event& event) { return event.lever.isAuto(); }
inline bool always(const Event&) { return true; }
// "拨杆在 N（非 0）" or, without a lever, why none is known: the start of the reasons guards give.
// Not for a lever at 0, which no guard stops.
std::string leverText(const Event& event);

}  // namespace vemlo::PermissionHook
