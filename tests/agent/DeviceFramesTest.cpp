#include "agent/DeviceFrames.h"

#include <gtest/gtest.h>

namespace vemlo {
namespace {

// Decoding is checked by the device_status fuzz target's properties on its seeds.
TEST(DeviceFrames, OutgoingFramesAndHexForm) {
    EXPECT_EQ(frames::hex(frames::stateCommand(0x5A)), "AA BB 90 5A CC DD");
    EXPECT_EQ(frames::hex(frames::statusRequest()), "AA BB 00 CC DD");
    EXPECT_EQ(frames::hex(std::vector<uint8_t>{}), "");
}

}  // namespace
}  // namespace vemlo
