#pragma once

#include <cstdint>

namespace vemlo {

// The LED state codes that the hooks send and the keyboard shows; the numbers are the wire values.
enum class LedState : uint8_t {
    notification = 0,
    permissionRequest = 1,
    toolFinished = 2,
    toolRunning = 3,
    sessionStarted = 4,
    stop = 5,
    taskCompleted = 6,
    promptSubmitted = 7,
    sessionEnded = 8,
};

constexpr uint8_t wireValue(LedState state) { return static_cast<uint8_t>(state); }

}  // namespace vemlo
