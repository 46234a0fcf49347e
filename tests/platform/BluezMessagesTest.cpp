// Shapes the fake bluetoothd never sends; what it sends is decoded in the agent tests end to end.

#include "bluez_peer/DBusBuilder.h"
#include "platform/bluez/BluezMessages.h"
#include "platform/bluez/DeviceIdentifier.h"

#include <gtest/gtest.h>

namespace vemlo::bluez {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(DeviceIdentifierTest, NameBasedUuidsMatchTheStandardConstruction) {
    const Uuid dns{0x6b, 0xa7, 0xb8, 0x10, 0x9d, 0xad, 0x11, 0xd1, 0x80, 0xb4, 0x00, 0xc0, 0x4f, 0xd4, 0x30, 0xc8};
    EXPECT_EQ(uuidText(nameBasedUuid(dns, "python.org")), "886313E1-3B8A-5372-9B90-0C9AEE199E5D");
    // Stable per address, whatever its letter case.
    EXPECT_EQ(deviceIdentifier("C0:FF:EE:73:40:01"), "7019ADD9-32F5-577A-ADF9-D7E883B29F1F");
    EXPECT_EQ(deviceIdentifier("c0:ff:ee:73:40:01"), "7019ADD9-32F5-577A-ADF9-D7E883B29F1F");
}

TEST(BluezMessagesTest, CharacteristicValuesAreReadOnlyAsByteArrays) {
    using test::dbus::propertiesChanged;
    const std::string path = "/org/bluez/hci0/dev_X/service0010/char0011";
    const char* iface = kGattCharacteristicInterface;
    const Bytes frame{0xAA, 0xBB, 0x00, 87, 0xC9, 1, 0, 1, 2, 0, 0xCC, 0xDD};
    DBusMessage* notDictionary = dbus_message_new_signal(path.c_str(), DBUS_INTERFACE_PROPERTIES, "PropertiesChanged");
    dbus_message_append_args(notDictionary, DBUS_TYPE_STRING, &iface, DBUS_TYPE_STRING, &iface, DBUS_TYPE_INVALID);
    const struct {
        DBusMessage* message;
        bool parses;
        std::optional<Bytes> value;
    } cases[] = {
        {propertiesChanged(path, iface, {{"Value", frame}}), true, frame},
        {propertiesChanged(path, iface, {{"Value", std::string("AA")}}), true, {}},
        {notDictionary, false, {}},
        {dbus_message_new_signal(path.c_str(), DBUS_INTERFACE_PROPERTIES, "X"), false, {}},  // no arguments
    };
    for (const auto& c : cases) {
        auto change = parsePropertiesChanged(adoptMessage(c.message).get());
        ASSERT_EQ(change.has_value(), c.parses) << c.value.has_value();
        if (change) {
            EXPECT_EQ(bytesProperty(change->changed, "Value"), c.value);
        }
    }
}

}  // namespace
}  // namespace vemlo::bluez
