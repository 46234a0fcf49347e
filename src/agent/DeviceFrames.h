#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vemlo {

// The keyboard's decoded status. Every field is widened to 64 bits; `signal` is the only signed byte.
struct AgentDeviceStatus {
    int64_t battery = 0;
    int64_t signal = 0;
    int64_t firmwareMain = 0;
    int64_t firmwareSub = 0;
    int64_t workMode = 0;
    int64_t lightMode = 0;
    int64_t switchState = 0;
    bool operator==(const AgentDeviceStatus&) const = default;
};

namespace frames {

inline constexpr std::array<uint8_t, 2> kHeader{0xAA, 0xBB};
inline constexpr std::array<uint8_t, 2> kTrailer{0xCC, 0xDD};
inline constexpr uint8_t kTypeStatus = 0x00;
inline constexpr uint8_t kTypeState = 0x90;

// header, type, body, trailer; frames carry no length and no checksum.
std::vector<uint8_t> build(uint8_t type, std::span<const uint8_t> body);
// AA BB 90 <value> CC DD
std::vector<uint8_t> stateCommand(uint8_t value);
// AA BB 00 CC DD
std::vector<uint8_t> statusRequest();

// A status frame is at least 12 bytes: header, type 0x00, seven field bytes, anything newer
// firmware adds, trailer. Anything else is absent.
std::optional<AgentDeviceStatus> parseDeviceStatus(std::span<const uint8_t> data);

// "AA BB 90 05 CC DD": upper-case byte pairs separated by one blank.
std::string hex(std::span<const uint8_t> bytes);

}  // namespace frames
}  // namespace vemlo
