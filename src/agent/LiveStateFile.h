#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vemlo::livestate {

// paths::liveStateFile: written by the agent alone, 0600, never through a link.
std::string folderPath(const std::string& home);
std::string filePath(const std::string& home);

// Seconds since 1970, with fractions: the file's time format.
double now();

// Changes to the file: a present value sets its key, an absent one leaves it. Times are taken when
// a change happens, not when it reaches the file.
struct Update {
    std::optional<uint8_t> stateValue;
    double stateTs = 0;
    std::optional<uint8_t> lightMode;
    double lightModeTs = 0;
    std::optional<uint8_t> switchState;
    std::optional<uint8_t> workMode;
    double ts = 0;

    // Folds a later update into this one, as if both had been written in turn.
    void merge(const Update& later);
};

Update makeUpdate(std::optional<uint8_t> stateValue, std::optional<uint8_t> lightMode,
                  std::optional<uint8_t> switchState, std::optional<uint8_t> workMode);

// Read-modify-write of the state file: unknown keys survive; a file that is not a JSON object
// starts over as an empty object; "ts" always moves. Failures are swallowed.
void applyUpdate(const std::string& home, const Update& update);

inline void write(const std::string& home, std::optional<uint8_t> stateValue, std::optional<uint8_t> lightMode,
                  std::optional<uint8_t> switchState, std::optional<uint8_t> workMode) {
    applyUpdate(home, makeUpdate(stateValue, lightMode, switchState, workMode));
}

// Drops "switchState" from an existing object file. Creates nothing and leaves a file that is not
// a JSON object untouched.
void clearSwitchState(const std::string& home);

}  // namespace vemlo::livestate
