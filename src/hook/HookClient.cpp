#include "hook/HookClient.h"

#include "hook/ClaudeHookHandler.h"
#include "hook/CodexHookHandler.h"
#include "hook/CopilotHookHandler.h"
#include "hook/CursorHookHandler.h"
#include "hook/GeminiHookHandler.h"
#include "hook/HookSupport.h"
#include "hook/KimiHookHandler.h"

#include <unistd.h>
#include <csignal>

namespace vemlo::HookClient {
namespace {

using enum EventRoute;
using enum LedState;

// Every event name an assistant's hooks are registered with. A new row goes into its assistant's
// group here, and a route that has no handler yet gets its call in `dispatch` below.
constexpr EventRow kEventTable[] = {
    // Claude Code
    {"Notification", sharedState, notification},
    {"PermissionRequest", claudePermissionRequest, notification},
    {"PostToolUse", sharedState, toolFinished},
    {"PreToolUse", claudePreToolUse, toolRunning},
    {"SessionStart", sharedState, sessionStarted},
    {"Stop", sharedState, stop},
    {"SubagentStop", sharedState, stop},
    {"TaskCompleted", sharedState, taskCompleted},
    {"UserPromptSubmit", sharedState, promptSubmitted},
    {"SessionEnd", sharedState, sessionEnded},
    {"PreCompact", sharedState, notification},
    // Cursor
    {"sessionStart", sharedState, sessionStarted},
    {"sessionEnd", sharedState, sessionEnded},
    {"postToolUse", sharedState, toolFinished},
    {"stop", sharedState, stop},
    {"preToolUse", cursorToolPermission, notification},
    {"beforeShellExecution", cursorToolPermission, notification},
    {"beforeMCPExecution", cursorToolPermission, notification},
    // Codex
    {"CodexSessionStart", codexState, sessionStarted},
    {"CodexPostToolUse", codexState, toolFinished},
    {"CodexPreToolUse", codexPreToolUse, toolRunning},
    {"CodexUserPromptSubmit", codexState, promptSubmitted},
    {"CodexStop", codexState, stop},
    {"CodexPermissionRequest", codexPermissionRequest, notification},
    // Kimi CLI
    {"KimiNotification", sharedState, notification},
    {"KimiSessionStart", kimiSessionStart, sessionStarted},
    {"KimiSessionEnd", sharedState, sessionEnded},
    {"KimiPreToolUse", kimiPreToolPermission, notification},
    {"KimiPostToolUse", sharedState, toolFinished},
    {"KimiUserPromptSubmit", sharedState, promptSubmitted},
    {"KimiStop", sharedState, stop},
    // Copilot CLI
    {"CopilotSessionStart", sharedState, sessionStarted},
    {"CopilotUserPromptSubmitted", sharedState, promptSubmitted},
    {"CopilotPreToolUse", copilotPreToolUse, toolRunning},
    {"CopilotPostToolUse", sharedState, toolFinished},
    {"CopilotAgentStop", sharedState, stop},
    {"CopilotSessionEnd", sharedState, sessionEnded},
    {"CopilotNotification", sharedState, notification},
    {"CopilotPermissionRequest", copilotPermissionRequest, notification},
    // Gemini CLI
    {"GeminiSessionStart", geminiSessionStart, sessionStarted},
    {"GeminiBeforeAgent", geminiState, promptSubmitted},
    {"GeminiBeforeTool", geminiBeforeTool, toolRunning},
    {"GeminiAfterTool", geminiState, toolFinished},
    {"GeminiAfterAgent", geminiState, stop},
    {"GeminiSessionEnd", geminiState, sessionEnded},
    {"GeminiNotification", geminiNotification, notification},
};

constexpr bool namesAreUnique() {
    for (size_t i = 0; i < std::size(kEventTable); ++i)
        for (size_t j = i + 1; j < std::size(kEventTable); ++j)
            if (kEventTable[i].name == kEventTable[j].name) return false;
    return true;
}
static_assert(namesAreUnique(), "an event name may lead to one route only");
static_assert(std::size(kEventTable) == 46, "every event the six assistants send, and no other");

void writeStderr(const std::string& line) { (void)!::write(STDERR_FILENO, line.data(), line.size()); }

void unknownEvent(const std::string& event) { writeStderr("[vemlo-hook] unknown event: " + event + "\n"); }

void dispatch(const EventRow& row, const std::string& event) {
    switch (row.route) {
    case sharedState:
        // The LED is best effort: an absent agent or reply changes nothing for the assistant.
        (void)HookSupport::sendJsonRequest(Json{{"cmd", "state"}, {"value", wireValue(row.state)}}, 2.0);
        return;
    case claudePermissionRequest:
        ClaudeHookHandler::handlePermissionRequest();
        return;
    case cursorToolPermission:
        CursorHookHandler::handleToolPermission(event);
        return;
    case codexState:
        CodexHookHandler::handleState(row.state);
        return;
    case codexPermissionRequest:
        CodexHookHandler::handlePermissionRequest();
        return;
    case kimiPreToolPermission:
        KimiHookHandler::handlePreToolPermission();
        return;
    case copilotPermissionRequest:
        CopilotHookHandler::handlePermissionRequest();
        return;
    case claudePreToolUse:
        ClaudeHookHandler::handlePreToolUse();
        return;
    case codexPreToolUse:
        CodexHookHandler::handlePreToolUse();
        return;
    case copilotPreToolUse:
        CopilotHookHandler::handlePreToolUse();
        return;
    case kimiSessionStart:
        KimiHookHandler::handleSessionStart();
        return;
    case geminiState:
        GeminiHookHandler::handleState(row.state);
        return;
    case geminiSessionStart:
        GeminiHookHandler::handleSessionStart();
        return;
    case geminiBeforeTool:
        GeminiHookHandler::handleBeforeTool();
        return;
    case geminiNotification:
        GeminiHookHandler::handleNotification();
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
