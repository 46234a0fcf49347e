#pragma once

// Builds the messages bluetoothd sends, and renders the ones it receives, with libdbus alone, so
// that the fake bluetoothd and the message tests never lean on the decoders they check.

#include <dbus/dbus.h>

#include <cstdint>
#include <string>
#include <utility>
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
DBusMessage* propertiesChanged(const std::string& path, const std::string& interface, const Props& changed,
                               bool withInvalidated = true);
DBusMessage* interfacesAdded(const std::string& path, const Interfaces& interfaces);
DBusMessage* interfacesRemoved(const std::string& path, const std::vector<std::string>& interfaces);
DBusMessage* managedObjects(DBusMessage* call, const Objects& objects);

// The arguments on one line: byte arrays as hex pairs, other arrays in brackets, dictionary
// entries as key=value, e.g. "AA BB 00 CC DD [type=command]".
std::string describe(DBusMessage* message);

}  // namespace vemlo::test::dbus
