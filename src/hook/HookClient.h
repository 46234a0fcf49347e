#pragma once

#include "platform/LedState.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vemlo::HookClient {

// What a hook event leads to: an LED state for the agent, or one assistant's handler.
enum class EventRoute : uint8_t {
    sharedState,
    codexState,
    claudePermissionRequest,
    cursorToolPermission,
    codexPermissionRequest,
    kimiPreToolPermission,
    copilotPermissionRequest,
    claudePreToolUse,
    codexPreToolUse,
    copilotPreToolUse,
    kimiSessionStart,
    geminiState,  // an LED state, and {} for Gemini to read
    geminiSessionStart,
    geminiBeforeTool,
    geminiNotification,
};

struct EventRow {
    std::string_view name;
    EventRoute route;
    LedState state;  // the LED state the event shows; `notification` for the permission handlers
};

// The row of an event name (exact, case-sensitive), or nothing for a name we do not know.
std::optional<EventRow> lookupEvent(std::string_view event);

// Handles one hook event of an assistant and returns the process exit code, which is always 0:
// an assistant must never see a hook fail.
int run(const std::string& event);

}  // namespace vemlo::HookClient
