#include "platform/AgentEnvironment.h"

#include "platform/Files.h"
#include "platform/bluez/BluezCentral.h"
#include "platform/sim/SimulatedCentral.h"

#include <cstdlib>
#include <string_view>

namespace vemlo {

std::string defaultSocketPath() {
    const char* path = std::getenv("VEMLO_SOCKET");
    return path && *path ? path : kDefaultSocketPath;
}

std::unique_ptr<BluetoothCentral> makeBluetoothCentral(MainQueue& queue, CentralDelegate& delegate,
                                                       std::function<void(const std::string&)> log) {
    const char* backend = std::getenv("VEMLO_BLUETOOTH");
    if (backend && std::string_view(backend) == "sim") {
        return std::make_unique<SimulatedCentral>(queue, delegate,
                                                  SimulatedCentral::optionsFromEnvironment(files::homeDirectory()));
    }
    // Without a reachable bus or bluetoothd the central keeps trying quietly and reports no power, so
    // the agent serves its socket and answers lever queries with "unknown", which approves nothing.
    BluezCentral::Options options;
    options.log = std::move(log);
    return std::make_unique<BluezCentral>(queue, delegate, std::move(options));
}

}  // namespace vemlo
