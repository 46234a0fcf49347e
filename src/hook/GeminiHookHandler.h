#pragma once

#include "platform/LedState.h"

// Gemini CLI's hooks. Gemini's hooks cannot grant a permission, so the grant is a stamp in the tool
// call's arguments that our policy file allows (GeminiStamp, GeminiPolicyFile). Every Gemini event
// answers {} on standard output at least: Gemini would otherwise read our standard error as the
// hook's answer.
namespace vemlo::GeminiHookHandler {

// The first SessionStart of a Gemini process records the secret it loaded and rotates the policy's
// secret for the next process (GeminiSession); then the LED shows the session start.
void handleSessionStart();

// Stamps the call at a lever known to be 0 when this Gemini process's secret is known; otherwise
// answers without a stamp. One permission record either way; the LED shows a tool running.
void handleBeforeTool();

// Gemini fires Notification with "notification_type": "ToolPermission" just before it shows its
// dialog: the LED then asks for the person; other notifications show 0.
void handleNotification();

// An LED state and {} on standard output.
void handleState(LedState state);

}  // namespace vemlo::GeminiHookHandler
