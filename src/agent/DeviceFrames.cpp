#include "agent/DeviceFrames.h"

namespace vemlo::frames {

std::vector<uint8_t> build(uint8_t type, std::span<const uint8_t> body) {
    std::vector<uint8_t> out(kHeader.begin(), kHeader.end());
    out.push_back(type);
    out.insert(out.end(), body.begin(), body.end());
    out.insert(out.end(), kTrailer.begin(), kTrailer.end());
    return out;
}

std::vector<uint8_t> stateCommand(uint8_t value) {
    const uint8_t body[] = {value};
    return build(kTypeState, body);
}

std::vector<uint8_t> statusRequest() { return build(kTypeStatus, {}); }

std::optional<AgentDeviceStatus> parseDeviceStatus(std::span<const uint8_t> data) {
    const size_t n = data.size();
    if (n < 12) return std::nullopt;
    if (data[0] != kHeader[0] || data[1] != kHeader[1]) return std::nullopt;
    if (data[n - 2] != kTrailer[0] || data[n - 1] != kTrailer[1]) return std::nullopt;
    if (data[2] != kTypeStatus) return std::nullopt;
    AgentDeviceStatus s;
    s.battery = data[3];
    s.signal = static_cast<int8_t>(data[4]);
    s.firmwareMain = data[5];
    s.firmwareSub = data[6];
    s.workMode = data[7];
    s.lightMode = data[8];
    s.switchState = data[9];
    return s;
}

std::string hex(std::span<const uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 3);
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i) out += ' ';
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 0x0F];
    }
    return out;
}

}  // namespace vemlo::frames
