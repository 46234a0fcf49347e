#include "hook/HookClient.h"

#include "hook/ClaudeHookHandler.h"
#include "hook/CodexHookHandler.h"
#include "hook/CursorHookHandler.h"
#include "hook/HookSupport.h"
#include "hook/KimiHookHandler.h"

#include <csignal>
#include <unistd.h>

namespace vemlo::HookClient {
namespace {

using enum EventRoute;

// Every event name an assistant's hooks are registered with. A new row goes into its assistant's
// group here, and a route that has no handler yet gets its call in `dispatch` below.
constexpr EventRow kEventTable[] = {
    // Claude Code
    {"Notification", sharedState, 0},
    {"PermissionRequest", claudePermissionRequest, 0},
    {"PostToolUse", sharedState, 2},
    {"PreToolUse", sharedState, 3},
    {"SessionStart", sharedState, 4},
    {"Stop", sharedState, 5},
    {"SubagentStop", sharedState, 5},
    {"TaskCompleted", sharedState, 6},
    {"UserPromptSubmit", sharedState, 7},
    {"SessionEnd", sharedState, 8},
    {"PreCompact", sharedState, 0},
    // Cursor
    {"sessionStart", sharedState, 4},
    {"sessionEnd", sharedState, 8},
    {"postToolUse", sharedState, 2},
    {"stop", sharedState, 5},
    {"preToolUse", cursorToolPermission, 0},
    {"beforeShellExecution", cursorToolPermission, 0},
    {"beforeMCPExecution", cursorToolPermission, 0},
    // Codex
    {"CodexSessionStart", codexState, 4},
    {"CodexPostToolUse", codexState, 2},
    {"CodexPreToolUse", codexState, 3},
    {"CodexUserPromptSubmit", codexState, 7},
    {"CodexStop", codexState, 5},
    {"CodexPermissionRequest", codexPermissionRequest, 0},
    // Kimi CLI
    {"KimiNotification", sharedState, 0},
    {"KimiSessionStart", sharedState, 4},
    {"KimiSessionEnd", sharedState, 8},
    {"KimiPreToolUse", kimiPreToolPermission, 0},
    {"KimiPostToolUse", sharedState, 2},
    {"KimiUserPromptSubmit", sharedState, 7},
    {"KimiStop", sharedState, 5},
};

constexpr bool namesAreUnique() {
    for (size_t i = 0; i < std::size(kEventTable); ++i)
        for (size_t j = i + 1; j < std::size(kEventTable); ++j)
            if (kEventTable[i].name == kEventTable[j].name) return false;
    return true;
}
static_assert(namesAreUnique(), "an event name may lead to one route only");
static_assert(std::size(kEventTable) == 31, "every event the four assistants send, and no other");

void writeStderr(const std::string& line) { (void)!::write(STDERR_FILENO, line.data(), line.size()); }

void unknownEvent(const std::string& event) { writeStderr("[vemlo-hook] unknown event: " + event + "\n"); }

void dispatch(const EventRow& row, const std::string& event) {
    switch (row.route) {
        case sharedState:
            // The LED is best effort: an absent agent or reply changes nothing for the assistant.
            (void)HookSupport::sendJsonRequest(Json{{"cmd", "state"}, {"value", row.stateValue}}, 2.0);
            return;
        case claudePermissionRequest:
            ClaudeHookHandler::handlePermissionRequest();
            return;
        case cursorToolPermission:
            CursorHookHandler::handleToolPermission(event);
            return;
        case codexState:
            CodexHookHandler::handleState(row.stateValue);
            return;
        case codexPermissionRequest:
            CodexHookHandler::handlePermissionRequest();
            return;
        case kimiPreToolPermission:
            KimiHookHandler::handlePreToolPermission();
            return;
    }
}

}  // namespace

std::optional<EventRow> lookupEvent(std::string_view event) {
    // A scan of a constant table costs less than building a map in a process that looks up once.
    for (const EventRow& row : kEventTable)
        if (row.name == event) return row;
    return std::nullopt;
}

int run(const std::string& event) {
    // A write to an agent or assistant that already left must fail, not end the hook.
    std::signal(SIGPIPE, SIG_IGN);
    writeStderr("[vemlo-hook] DEBUG: received event: '" + event + "'\n");
    if (auto row = lookupEvent(event))
        dispatch(*row, event);
    else
        unknownEvent(event);
    return 0;
}

}  // namespace vemlo::HookClient
