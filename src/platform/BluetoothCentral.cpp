#include "platform/BluetoothCentral.h"

#include <cctype>
#include <cstdio>

namespace vemlo {

std::string bluetoothUuid(uint16_t shortUuid) {
    char buf[37];
    std::snprintf(buf, sizeof buf, "0000%04x-0000-1000-8000-00805f9b34fb", shortUuid);
    return buf;
}

std::string normalizeBluetoothUuid(const std::string& uuid) {
    std::string lower;
    lower.reserve(uuid.size());
    for (char c : uuid) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower.size() == 4) return "0000" + lower + "-0000-1000-8000-00805f9b34fb";
    return lower;
}

}  // namespace vemlo
