// Status frames from the keyboard: accepted exactly when header, type, length and trailer fit, and
// then every field is the byte at its place (the signal signed, the rest unsigned).
#include "FuzzCheck.h"
#include "agent/DeviceFrames.h"

#include <cstdint>

using namespace vemlo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> bytes(data, size);
    const std::optional<AgentDeviceStatus> status = frames::parseDeviceStatus(bytes);
    const bool shaped = size >= 12 && data[0] == 0xAA && data[1] == 0xBB && data[2] == 0x00 && data[size - 2] == 0xCC &&
                        data[size - 1] == 0xDD;
    FUZZ_CHECK(status.has_value() == shaped);
    if (!status) return 0;
    FUZZ_CHECK(status->battery == data[3]);
    FUZZ_CHECK(status->signal == static_cast<int8_t>(data[4]));
    FUZZ_CHECK(status->firmwareMain == data[5]);
    FUZZ_CHECK(status->firmwareSub == data[6]);
    FUZZ_CHECK(status->workMode == data[7]);
    FUZZ_CHECK(status->lightMode == data[8]);
    FUZZ_CHECK(status->switchState == data[9]);
    // A frame we build is one we read back.
    const std::vector<uint8_t> rebuilt = frames::build(frames::kTypeStatus, bytes.subspan(3, size - 5));
    FUZZ_CHECK(frames::parseDeviceStatus(rebuilt) == status);
    return 0;
}
