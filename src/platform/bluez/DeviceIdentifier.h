#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace vemlo::bluez {

using Uuid = std::array<uint8_t, 16>;

// A name-based (version 5, SHA-1) UUID: the same namespace and name always give the same value.
Uuid nameBasedUuid(const Uuid& nameSpace, const std::string& name);

// Canonical 8-4-4-4-12 text in upper case.
std::string uuidText(const Uuid& uuid);

// BlueZ has no identifier of its own for a device beyond its address, so the keyboard's stable
// identifier is a name-based UUID of the address (compared without regard to letter case). The
// same keyboard keeps its identifier across agent and bluetoothd restarts.
std::string deviceIdentifier(const std::string& address);

}  // namespace vemlo::bluez
