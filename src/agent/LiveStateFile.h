#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vemlo::livestate {

// "Library/Application Support/VemloConfig/current-ide-state.json" under `home`.
std::string folderPath(const std::string& home);
std::string filePath(const std::string& home);

// Read-modify-write of the state file: a present value sets its key (state value and light mode
// with a timestamp of their own), an absent one leaves it; "ts" always moves. Unknown keys survive;
// a file that is not a JSON object starts over as an empty object. Failures are swallowed.
void write(const std::string& home, std::optional<uint8_t> stateValue, std::optional<uint8_t> lightMode,
           std::optional<uint8_t> switchState, std::optional<uint8_t> workMode);

// Drops "switchState" from an existing object file. Creates nothing and leaves a file that is not
// a JSON object untouched.
void clearSwitchState(const std::string& home);

}  // namespace vemlo::livestate
