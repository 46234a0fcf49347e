#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

struct DBusMessage;

namespace vemlo::bluez {

// A D-Bus message with shared ownership; libdbus counts references atomically, so a message may
// be handed from the bus thread to the main queue.
using MessagePtr = std::shared_ptr<DBusMessage>;
// Takes over one reference.
MessagePtr adoptMessage(DBusMessage* message);

inline constexpr const char* kService = "org.bluez";
inline constexpr const char* kAdapterInterface = "org.bluez.Adapter1";
inline constexpr const char* kDeviceInterface = "org.bluez.Device1";
inline constexpr const char* kGattServiceInterface = "org.bluez.GattService1";
inline constexpr const char* kGattCharacteristicInterface = "org.bluez.GattCharacteristic1";
inline constexpr const char* kObjectManagerInterface = "org.freedesktop.DBus.ObjectManager";
inline constexpr const char* kPropertiesInterface = "org.freedesktop.DBus.Properties";

// The property types BlueZ uses for what the central reads. Anything else (dictionaries, other
// arrays) decodes to monostate, so a property of an unexpected type reads as missing.
using PropertyValue =
    std::variant<std::monostate, bool, int64_t, std::string, std::vector<std::string>, std::vector<uint8_t>>;
using Properties = std::map<std::string, PropertyValue>;
using Interfaces = std::map<std::string, Properties>;

struct ManagedObject {
    std::string path;
    Interfaces interfaces;
};

struct InterfacesRemoved {
    std::string path;
    std::vector<std::string> interfaces;
};

struct PropertiesChanged {
    std::string interface;
    Properties changed;
    std::vector<std::string> invalidated;
};

struct NameOwnerChanged {
    std::string name;
    std::string oldOwner;
    std::string newOwner;
};

// Decoders: absent when the message does not have the expected signature. Objects keep the order
// in which the message lists them.
std::optional<std::vector<ManagedObject>> parseManagedObjects(DBusMessage* reply);
std::optional<ManagedObject> parseInterfacesAdded(DBusMessage* signal);
std::optional<InterfacesRemoved> parseInterfacesRemoved(DBusMessage* signal);
std::optional<PropertiesChanged> parsePropertiesChanged(DBusMessage* signal);
std::optional<NameOwnerChanged> parseNameOwnerChanged(DBusMessage* signal);

// Typed reads of a property; absent when missing or of another type.
std::optional<bool> boolProperty(const Properties& properties, const std::string& key);
std::optional<std::string> stringProperty(const Properties& properties, const std::string& key);
std::optional<std::vector<std::string>> stringsProperty(const Properties& properties, const std::string& key);
std::optional<std::vector<uint8_t>> bytesProperty(const Properties& properties, const std::string& key);

// "org.bluez.Error.Failed: le-connection-abort-by-local" for an error reply, "no reply" for a
// missing one, absent for a successful reply.
std::optional<std::string> errorText(DBusMessage* reply);
// The error name of an error reply, else empty.
std::string errorName(DBusMessage* reply);

// Method calls to bluetoothd.
MessagePtr methodCall(const std::string& path, const char* interface, const char* method);
MessagePtr getManagedObjectsCall();
MessagePtr discoveryFilterCall(const std::string& adapterPath, const std::vector<std::string>& serviceUuids);
MessagePtr writeValueCall(const std::string& characteristicPath, const std::vector<uint8_t>& bytes,
                          bool withoutResponse);

}  // namespace vemlo::bluez
