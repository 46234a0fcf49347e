#include "bluez_peer/DBusBuilder.h"
#include "platform/bluez/BluezMessages.h"
#include "platform/bluez/DeviceIdentifier.h"

#include <gtest/gtest.h>

namespace vemlo::bluez {
namespace {

namespace build = test::dbus;
using Bytes = std::vector<uint8_t>;

TEST(DeviceIdentifierTest, NameBasedUuidsMatchTheStandardConstruction) {
    const Uuid dns{0x6b, 0xa7, 0xb8, 0x10, 0x9d, 0xad, 0x11, 0xd1, 0x80, 0xb4, 0x00, 0xc0, 0x4f, 0xd4, 0x30, 0xc8};
    Uuid url = dns;
    url[3] = 0x11;
    EXPECT_EQ(uuidText(nameBasedUuid(dns, "python.org")), "886313E1-3B8A-5372-9B90-0C9AEE199E5D");
    EXPECT_EQ(uuidText(nameBasedUuid(url, "http://example.com")), "8C9DDCB0-8084-5A7F-A988-1095AB18B5DF");
    EXPECT_EQ(uuidText(nameBasedUuid(dns, "")), "4EBD0208-8328-5D69-8C44-EC50939C0967");
    // Stable per address, whatever its letter case.
    EXPECT_EQ(deviceIdentifier("C0:FF:EE:73:40:01"), "7019ADD9-32F5-577A-ADF9-D7E883B29F1F");
    EXPECT_EQ(deviceIdentifier("c0:ff:ee:73:40:01"), "7019ADD9-32F5-577A-ADF9-D7E883B29F1F");
}

TEST(BluezMessagesTest, CharacteristicValuesAreReadOnlyAsByteArrays) {
    const std::string path = "/org/bluez/hci0/dev_X/service0010/char0011";
    const Bytes frame{0xAA, 0xBB, 0x00, 87, 0xC9, 1, 0, 1, 2, 0, 0xCC, 0xDD};
    auto raw = [&](auto... args) {
        DBusMessage* m = dbus_message_new_signal(path.c_str(), DBUS_INTERFACE_PROPERTIES, "PropertiesChanged");
        dbus_message_append_args(m, args..., DBUS_TYPE_INVALID);
        return m;
    };
    const char* iface = kGattCharacteristicInterface;
    const dbus_int32_t five = 5;
    const struct {
        const char* name;
        DBusMessage* message;
        bool parses;
        std::optional<Bytes> value;
    } cases[] = {
        {"byte array", build::propertiesChanged(path, iface, {{"Value", frame}}), true, frame},
        {"empty byte array", build::propertiesChanged(path, iface, {{"Value", Bytes{}}}), true, Bytes{}},
        {"without the invalidated list", build::propertiesChanged(path, iface, {{"Value", frame}}, false), true, frame},
        {"string instead of bytes", build::propertiesChanged(path, iface, {{"Value", std::string("AA")}}), true, {}},
        {"integer where the dictionary belongs", raw(DBUS_TYPE_STRING, &iface, DBUS_TYPE_INT32, &five), false, {}},
        {"no arguments", raw(), false, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto message = adoptMessage(c.message);
        auto change = parsePropertiesChanged(message.get());
        ASSERT_EQ(change.has_value(), c.parses);
        if (!change) continue;
        EXPECT_EQ(change->interface, kGattCharacteristicInterface);
        EXPECT_EQ(bytesProperty(change->changed, "Value"), c.value);
    }
}

TEST(BluezMessagesTest, ObjectListsKeepTheirOrderAndWidenIntegers) {
    auto call = getManagedObjectsCall();
    dbus_message_set_serial(call.get(), 7);  // as if sent, so that replies can refer to it
    const build::Objects listed{
        {"/org/bluez/hci0/dev_B", {{kDeviceInterface, {{"RSSI", int16_t{-52}}, {"Connected", true}}}}},
        {"/org/bluez/hci0/dev_A",
         {{kDeviceInterface, {{"Adapter", build::ObjectPath{"/org/bluez/hci0"}}, {"UUIDs", std::vector<std::string>{"7340"}}}}}},
    };
    auto reply = adoptMessage(build::managedObjects(call.get(), listed));
    const auto objects = parseManagedObjects(reply.get());
    ASSERT_TRUE(objects && objects->size() == 2);
    EXPECT_EQ((*objects)[0].path, "/org/bluez/hci0/dev_B");
    const Properties& b = (*objects)[0].interfaces.at(kDeviceInterface);
    EXPECT_EQ(b.at("RSSI"), PropertyValue{int64_t{-52}});
    EXPECT_EQ(boolProperty(b, "Connected"), true);
    const Properties& a = (*objects)[1].interfaces.at(kDeviceInterface);
    EXPECT_EQ(stringProperty(a, "Adapter"), "/org/bluez/hci0");
    EXPECT_EQ(stringsProperty(a, "UUIDs"), std::vector<std::string>{"7340"});
    EXPECT_EQ(stringProperty(a, "UUIDs"), std::nullopt);

    auto added = adoptMessage(build::interfacesAdded(listed[1].first, listed[1].second));
    EXPECT_EQ(parseInterfacesAdded(added.get())->path, "/org/bluez/hci0/dev_A");
    auto removed = adoptMessage(build::interfacesRemoved("/org/bluez/hci0", {kAdapterInterface, kDeviceInterface}));
    EXPECT_EQ(parseInterfacesRemoved(removed.get())->interfaces,
              (std::vector<std::string>{kAdapterInterface, kDeviceInterface}));
    // Neither a signal of another shape nor an error is an object list.
    EXPECT_FALSE(parseManagedObjects(removed.get()));
    EXPECT_FALSE(parseInterfacesAdded(removed.get()));
    auto failed = adoptMessage(dbus_message_new_error(call.get(), "org.bluez.Error.Failed", "abort"));
    EXPECT_FALSE(parseManagedObjects(failed.get()));
}

TEST(BluezMessagesTest, CallsCarryTheirArguments) {
    EXPECT_EQ(build::describe(discoveryFilterCall("/org/bluez/hci0", {"a", "b"}).get()), "[UUIDs=[a, b], Transport=le]");
    EXPECT_EQ(build::describe(writeValueCall("/c", {0xAA, 0x05}, true).get()), "AA 05 [type=command]");
    EXPECT_EQ(build::describe(writeValueCall("/c", {}, false).get()), " [type=request]");
    EXPECT_FALSE(dbus_message_get_auto_start(getManagedObjectsCall().get()));
    // A path bluetoothd could never have sent is refused rather than passed to libdbus.
    EXPECT_FALSE(writeValueCall("not/a/path", {}, true));
}

TEST(BluezMessagesTest, ErrorRepliesDescribeThemselves) {
    auto call = methodCall("/org/bluez/hci0/dev_X", kDeviceInterface, "Connect");
    dbus_message_set_serial(call.get(), 7);  // as if sent, so that replies can refer to it
    auto failed = adoptMessage(dbus_message_new_error(call.get(), "org.bluez.Error.Failed", "le-connection-abort"));
    auto bare = adoptMessage(dbus_message_new_error(call.get(), "org.bluez.Error.InProgress", nullptr));
    auto success = adoptMessage(dbus_message_new_method_return(call.get()));
    EXPECT_EQ(errorText(failed.get()), "org.bluez.Error.Failed: le-connection-abort");
    EXPECT_EQ(errorText(bare.get()), "org.bluez.Error.InProgress");
    EXPECT_EQ(errorText(success.get()), std::nullopt);
    EXPECT_EQ(errorText(nullptr), "no reply");
    EXPECT_EQ(errorName(failed.get()), "org.bluez.Error.Failed");
    EXPECT_EQ(errorName(success.get()), "");
}

}  // namespace
}  // namespace vemlo::bluez
