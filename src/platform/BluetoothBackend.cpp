#include "platform/BluetoothBackend.h"

#include "platform/Files.h"
#include "platform/bluez/BluezCentral.h"
#include "platform/sim/SimulatedCentral.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace vemlo {
namespace {

// No Bluetooth at all: it never reports power on, so the agent serves its socket and answers lever
// queries with "unknown", which never approves a tool.
class UnavailableCentral final : public BluetoothCentral {
public:
    CentralState state() const override { return CentralState::unsupported; }
    std::vector<std::shared_ptr<Peripheral>> retrievePeripherals(const std::vector<std::string>&) override {
        return {};
    }
    std::vector<std::shared_ptr<Peripheral>> retrieveConnectedPeripherals(const std::vector<std::string>&) override {
        return {};
    }
    void scanForPeripherals(const std::vector<std::string>&) override {}
    void stopScan() override {}
    void connect(std::shared_ptr<Peripheral>) override {}
};

}  // namespace

std::string bluetoothBackendProblem() {
    const char* backend = std::getenv("VEMLO_BLUETOOTH");
    if (!backend || !*backend) return {};
    for (std::string_view known : {"bluez", "sim", "off"})
        if (known == backend) return {};
    return std::string("vemloconfig-agent: VEMLO_BLUETOOTH=") + backend +
           " names no Bluetooth backend: use bluez (the default), sim or off\n";
}

std::unique_ptr<BluetoothCentral> makeBluetoothCentral(MainQueue& queue, CentralDelegate& delegate,
                                                       std::function<void(const std::string&)> log) {
    const char* backend = std::getenv("VEMLO_BLUETOOTH");
    if (backend && std::string_view(backend) == "sim") {
        auto options = SimulatedCentral::optionsFromEnvironment(files::homeDirectory());
        options.log = log;
        if (!options.log) options.log = [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); };
        // Said on standard error, apart from the agent's log: nobody should mistake this for a real keyboard.
        std::fprintf(
            stderr, "vemloconfig-agent: simulated keyboard \"Vemlo Sim\", lever %u (write a number to %s to move it)\n",
            static_cast<unsigned>(options.lever), options.leverFile.c_str());
        return std::make_unique<SimulatedCentral>(queue, delegate, std::move(options));
    }
    if (backend && std::string_view(backend) == "off") return std::make_unique<UnavailableCentral>();
    // Without a reachable bus or bluetoothd the central keeps trying quietly and reports no power, so
    // the agent serves its socket and answers lever queries with "unknown", which approves nothing.
    BluezCentral::Options options;
    options.log = std::move(log);
    return std::make_unique<BluezCentral>(queue, delegate, std::move(options));
}

}  // namespace vemlo
