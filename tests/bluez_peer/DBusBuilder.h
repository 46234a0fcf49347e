#pragma once
// Builds what bluetoothd sends, and renders what it receives, with libdbus alone, so that the fake
// bluetoothd and the message tests never lean on the decoders they check.
#include <dbus/dbus.h>

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace vemlo::test::dbus {

struct ObjectPath {
    std::string path;
};
using Value = std::variant<bool, int16_t, std::string, ObjectPath, std::vector<std::string>, std::vector<uint8_t>>;
using Props = std::vector<std::pair<std::string, Value>>;
using Interfaces = std::vector<std::pair<std::string, Props>>;
using Objects = std::vector<std::pair<std::string, Interfaces>>;

// Each returns a new message the caller owns.
DBusMessage* propertiesChanged(const std::string& path, const std::string& interface, const Props& changed);
DBusMessage* interfacesAdded(const std::string& path, const Interfaces& interfaces);
DBusMessage* interfacesRemoved(const std::string& path, const std::vector<std::string>& interfaces);
DBusMessage* managedObjects(DBusMessage* call, const Objects& objects);
// The arguments' strings and bytes on one line, arrays bracketed, dictionary entries as key=value:
// "AA BB 00 CC DD [type=command]".
std::string describe(DBusMessage* message);

}  // namespace vemlo::test::dbus
