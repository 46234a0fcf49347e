#include "platform/bluez/BluezMessages.h"
#include "platform/bluez/DeviceIdentifier.h"

#include <dbus/dbus.h>
#include <gtest/gtest.h>

#include <functional>
#include <regex>

namespace vemlo::bluez {
namespace {

Uuid parseUuid(const std::string& text) {
    Uuid uuid{};
    std::string digits;
    for (char c : text)
        if (c != '-') digits += c;
    for (size_t i = 0; i < uuid.size(); ++i)
        uuid[i] = static_cast<uint8_t>(std::stoi(digits.substr(i * 2, 2), nullptr, 16));
    return uuid;
}

TEST(DeviceIdentifierTest, NameBasedUuidsMatchTheStandardConstruction) {
    const Uuid dns = parseUuid("6ba7b810-9dad-11d1-80b4-00c04fd430c8");
    const Uuid url = parseUuid("6ba7b811-9dad-11d1-80b4-00c04fd430c8");
    const struct {
        Uuid nameSpace;
        std::string name;
        std::string expected;
    } cases[] = {
        {dns, "python.org", "886313E1-3B8A-5372-9B90-0C9AEE199E5D"},
        {url, "http://example.com", "8C9DDCB0-8084-5A7F-A988-1095AB18B5DF"},
        {dns, "", "4EBD0208-8328-5D69-8C44-EC50939C0967"},
    };
    for (const auto& c : cases) EXPECT_EQ(uuidText(nameBasedUuid(c.nameSpace, c.name)), c.expected) << c.name;
}

TEST(DeviceIdentifierTest, IdentifierIsStablePerAddressAndCanonical) {
    const std::string id = deviceIdentifier("C0:FF:EE:73:40:01");
    EXPECT_EQ(id, "7019ADD9-32F5-577A-ADF9-D7E883B29F1F");
    EXPECT_EQ(deviceIdentifier("c0:ff:ee:73:40:01"), id);
    EXPECT_NE(deviceIdentifier("C0:FF:EE:73:40:02"), id);
    EXPECT_TRUE(
        std::regex_match(id, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-5[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")));
}

// A PropertiesChanged signal of a characteristic whose body the test writes.
MessagePtr propertiesChanged(const std::function<void(DBusMessageIter*)>& body) {
    auto message = adoptMessage(dbus_message_new_signal("/org/bluez/hci0/dev_X/service0010/char0011",
                                                        DBUS_INTERFACE_PROPERTIES, "PropertiesChanged"));
    DBusMessageIter it;
    dbus_message_iter_init_append(message.get(), &it);
    body(&it);
    return message;
}

void appendInterface(DBusMessageIter* it) {
    const char* iface = kGattCharacteristicInterface;
    dbus_message_iter_append_basic(it, DBUS_TYPE_STRING, &iface);
}

// {"Value": <variant of the given signature, filled by `fill`>}
void appendValueDict(DBusMessageIter* it, const char* signature, const std::function<void(DBusMessageIter*)>& fill) {
    DBusMessageIter dict, entry, variant;
    dbus_message_iter_open_container(it, DBUS_TYPE_ARRAY, "{sv}", &dict);
    dbus_message_iter_open_container(&dict, DBUS_TYPE_DICT_ENTRY, nullptr, &entry);
    const char* key = "Value";
    dbus_message_iter_append_basic(&entry, DBUS_TYPE_STRING, &key);
    dbus_message_iter_open_container(&entry, DBUS_TYPE_VARIANT, signature, &variant);
    fill(&variant);
    dbus_message_iter_close_container(&entry, &variant);
    dbus_message_iter_close_container(&dict, &entry);
    dbus_message_iter_close_container(it, &dict);
}

void appendBytes(DBusMessageIter* variant, const std::vector<uint8_t>& bytes) {
    DBusMessageIter array;
    dbus_message_iter_open_container(variant, DBUS_TYPE_ARRAY, "y", &array);
    const uint8_t* data = bytes.data();
    dbus_message_iter_append_fixed_array(&array, DBUS_TYPE_BYTE, &data, static_cast<int>(bytes.size()));
    dbus_message_iter_close_container(variant, &array);
}

void appendNoInvalidated(DBusMessageIter* it) {
    DBusMessageIter array;
    dbus_message_iter_open_container(it, DBUS_TYPE_ARRAY, "s", &array);
    dbus_message_iter_close_container(it, &array);
}

TEST(BluezMessagesTest, CharacteristicValuesAreReadOnlyAsByteArrays) {
    const std::vector<uint8_t> frame{0xAA, 0xBB, 0x00, 87, 0xC9, 1, 0, 1, 2, 0, 0xCC, 0xDD};
    const struct {
        const char* name;
        std::function<void(DBusMessageIter*)> body;
        bool parses;
        std::optional<std::vector<uint8_t>> value;
    } cases[] = {
        {"byte array",
         [&](DBusMessageIter* it) {
             appendInterface(it);
             appendValueDict(it, "ay", [&](DBusMessageIter* v) { appendBytes(v, frame); });
             appendNoInvalidated(it);
         },
         true, frame},
        {"empty byte array",
         [&](DBusMessageIter* it) {
             appendInterface(it);
             appendValueDict(it, "ay", [&](DBusMessageIter* v) { appendBytes(v, {}); });
             appendNoInvalidated(it);
         },
         true, std::vector<uint8_t>{}},
        {"without the invalidated list",
         [&](DBusMessageIter* it) {
             appendInterface(it);
             appendValueDict(it, "ay", [&](DBusMessageIter* v) { appendBytes(v, frame); });
         },
         true, frame},
        {"string instead of bytes",
         [&](DBusMessageIter* it) {
             appendInterface(it);
             appendValueDict(it, "s", [](DBusMessageIter* v) {
                 const char* text = "AA BB";
                 dbus_message_iter_append_basic(v, DBUS_TYPE_STRING, &text);
             });
             appendNoInvalidated(it);
         },
         true, std::nullopt},
        {"array of integers instead of bytes",
         [&](DBusMessageIter* it) {
             appendInterface(it);
             appendValueDict(it, "ai", [](DBusMessageIter* v) {
                 DBusMessageIter array;
                 dbus_message_iter_open_container(v, DBUS_TYPE_ARRAY, "i", &array);
                 dbus_int32_t n = 0xAA;
                 dbus_message_iter_append_basic(&array, DBUS_TYPE_INT32, &n);
                 dbus_message_iter_close_container(v, &array);
             });
             appendNoInvalidated(it);
         },
         true, std::nullopt},
        {"integer where the dictionary belongs",
         [&](DBusMessageIter* it) {
             appendInterface(it);
             dbus_int32_t n = 5;
             dbus_message_iter_append_basic(it, DBUS_TYPE_INT32, &n);
         },
         false, std::nullopt},
        {"no arguments", [](DBusMessageIter*) {}, false, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto message = propertiesChanged(c.body);
        auto change = parsePropertiesChanged(message.get());
        ASSERT_EQ(change.has_value(), c.parses);
        if (!change) continue;
        EXPECT_EQ(change->interface, kGattCharacteristicInterface);
        EXPECT_EQ(bytesProperty(change->changed, "Value"), c.value);
    }
}

TEST(BluezMessagesTest, ErrorRepliesDescribeThemselves) {
    auto call = methodCall("/org/bluez/hci0/dev_X", kDeviceInterface, "Connect");
    ASSERT_TRUE(call);
    dbus_message_set_serial(call.get(), 7);  // as if sent, so that replies can refer to it
    auto failed =
        adoptMessage(dbus_message_new_error(call.get(), "org.bluez.Error.Failed", "le-connection-abort-by-local"));
    auto bare = adoptMessage(dbus_message_new_error(call.get(), "org.bluez.Error.InProgress", nullptr));
    auto success = adoptMessage(dbus_message_new_method_return(call.get()));

    EXPECT_EQ(errorText(failed.get()), "org.bluez.Error.Failed: le-connection-abort-by-local");
    EXPECT_EQ(errorText(bare.get()), "org.bluez.Error.InProgress");
    EXPECT_EQ(errorText(success.get()), std::nullopt);
    EXPECT_EQ(errorText(nullptr), "no reply");
    EXPECT_EQ(errorName(failed.get()), "org.bluez.Error.Failed");
    EXPECT_EQ(errorName(success.get()), "");
    // A path bluetoothd could never have sent is refused rather than passed to libdbus.
    EXPECT_FALSE(methodCall("not/a/path", kDeviceInterface, "Connect"));
}

}  // namespace
}  // namespace vemlo::bluez
