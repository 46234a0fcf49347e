#include "agent/DeviceFrames.h"

#include <gtest/gtest.h>

namespace vemlo {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(DeviceFrames, OutgoingFramesAndHexForm) {
    EXPECT_EQ(frames::hex(frames::stateCommand(5)), "AA BB 90 05 CC DD");
    EXPECT_EQ(frames::hex(frames::stateCommand(0)), "AA BB 90 00 CC DD");
    EXPECT_EQ(frames::hex(frames::stateCommand(255)), "AA BB 90 FF CC DD");
    EXPECT_EQ(frames::hex(frames::statusRequest()), "AA BB 00 CC DD");
    EXPECT_EQ(frames::hex(Bytes{}), "");
}

TEST(DeviceFrames, StatusDecoding) {
    struct Case {
        const char* name;
        Bytes bytes;
        std::optional<AgentDeviceStatus> expected;
    };
    const Case cases[] = {
        {"twelve bytes",
         {0xAA, 0xBB, 0x00, 0x64, 0xC4, 0x01, 0x02, 0x03, 0x04, 0x00, 0xCC, 0xDD},
         AgentDeviceStatus{100, -60, 1, 2, 3, 4, 0}},
        {"longer frame ignores the extra bytes",
         {0xAA, 0xBB, 0x00, 0xFF, 0x7F, 9, 8, 7, 6, 5, 0xEE, 0xEE, 0xCC, 0xDD},
         AgentDeviceStatus{255, 127, 9, 8, 7, 6, 5}},
        {"signal -128 and lever 255",
         {0xAA, 0xBB, 0x00, 0, 0x80, 0, 0, 0, 0, 0xFF, 0xCC, 0xDD},
         AgentDeviceStatus{0, -128, 0, 0, 0, 0, 255}},
        {"eleven bytes", {0xAA, 0xBB, 0x00, 0x64, 0xC4, 0x01, 0x02, 0x03, 0x04, 0xCC, 0xDD}, std::nullopt},
        {"header AA BC", {0xAA, 0xBC, 0x00, 0x64, 0xC4, 0x01, 0x02, 0x03, 0x04, 0x00, 0xCC, 0xDD}, std::nullopt},
        {"trailer CC DE", {0xAA, 0xBB, 0x00, 0x64, 0xC4, 0x01, 0x02, 0x03, 0x04, 0x00, 0xCC, 0xDE}, std::nullopt},
        {"state type byte", {0xAA, 0xBB, 0x90, 0x64, 0xC4, 0x01, 0x02, 0x03, 0x04, 0x00, 0xCC, 0xDD}, std::nullopt},
        {"empty", {}, std::nullopt},
        {"a status request echoed back", {0xAA, 0xBB, 0x00, 0xCC, 0xDD}, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(frames::parseDeviceStatus(c.bytes), c.expected) << c.name;
    }
}

}  // namespace
}  // namespace vemlo
