// Decoding what bluetoothd sends is also exercised end to end against the fake bluetoothd; these
// are the shapes it never sends.

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
    EXPECT_EQ(uuidText(nameBasedUuid(dns, "")), "4EBD0208-8328-5D69-8C44-EC50939C0967");
    // Stable per address, whatever its letter case.
    EXPECT_EQ(deviceIdentifier("C0:FF:EE:73:40:01"), "7019ADD9-32F5-577A-ADF9-D7E883B29F1F");
    EXPECT_EQ(deviceIdentifier("c0:ff:ee:73:40:01"), "7019ADD9-32F5-577A-ADF9-D7E883B29F1F");
}

TEST(BluezMessagesTest, CharacteristicValuesAreReadOnlyAsByteArrays) {
    const std::string path = "/org/bluez/hci0/dev_X/service0010/char0011";
    const char* iface = kGattCharacteristicInterface;
    const Bytes frame{0xAA, 0xBB, 0x00, 87, 0xC9, 1, 0, 1, 2, 0, 0xCC, 0xDD};
    DBusMessage* dictIsInteger = dbus_message_new_signal(path.c_str(), DBUS_INTERFACE_PROPERTIES, "PropertiesChanged");
    dbus_message_append_args(dictIsInteger, DBUS_TYPE_STRING, &iface, DBUS_TYPE_STRING, &iface, DBUS_TYPE_INVALID);
    const struct {
        const char* name;
        MessagePtr message;
        bool parses;
        std::optional<Bytes> value;
    } cases[] = {
        {"byte array", adoptMessage(test::dbus::propertiesChanged(path, iface, {{"Value", frame}})), true, frame},
        {"empty", adoptMessage(test::dbus::propertiesChanged(path, iface, {{"Value", Bytes{}}})), true, Bytes{}},
        {"no invalidated list", adoptMessage(test::dbus::propertiesChanged(path, iface, {{"Value", frame}}, 0)), 1,
         frame},
        {"string", adoptMessage(test::dbus::propertiesChanged(path, iface, {{"Value", std::string("AA")}})), true, {}},
        {"string where the dictionary belongs", adoptMessage(dictIsInteger), false, {}},
        {"no arguments",
         adoptMessage(dbus_message_new_signal(path.c_str(), DBUS_INTERFACE_PROPERTIES, "X")),
         false,
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto change = parsePropertiesChanged(c.message.get());
        ASSERT_EQ(change.has_value(), c.parses);
        if (change) {
            EXPECT_EQ(bytesProperty(change->changed, "Value"), c.value);
        }
    }
}

TEST(BluezMessagesTest, ErrorRepliesDescribeThemselves) {  // an error with its detail shows in the agent tests
    auto call = methodCall("/org/bluez/hci0/dev_X", kDeviceInterface, "Connect");
    dbus_message_set_serial(call.get(), 7);  // as if sent, so that replies can refer to it
    auto bare = adoptMessage(dbus_message_new_error(call.get(), "org.bluez.Error.InProgress", nullptr));
    auto success = adoptMessage(dbus_message_new_method_return(call.get()));
    EXPECT_EQ(errorText(bare.get()), errorName(bare.get()));
    EXPECT_EQ(errorName(bare.get()), "org.bluez.Error.InProgress");
    EXPECT_EQ(errorText(success.get()), std::nullopt);
    EXPECT_EQ(errorName(success.get()), "");
    EXPECT_EQ(errorText(nullptr), "no reply");
    EXPECT_FALSE(methodCall("not/a/path", kDeviceInterface, "Connect"));  // refused rather than passed to libdbus
}

}  // namespace
}  // namespace vemlo::bluez
