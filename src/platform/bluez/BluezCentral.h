#pragma once

#include "platform/BluetoothCentral.h"
#include "platform/MainQueue.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace vemlo {

namespace bluez {
class DBusThread;
}

// The Bluetooth LE central over BlueZ's D-Bus API. A thread of its own owns the system bus
// connection and only hands messages to the main queue; the object model of bluetoothd (adapters,
// devices, GATT services and characteristics) is mirrored on the main queue, where every operation
// runs and every delegate callback is delivered, each as a task of its own, never after the central
// is gone. The bus and bluetoothd may come and go: the central reconnects quietly and reports each
// change of power state.
class BluezCentral final : public BluetoothCentral {
public:
    struct Options {
        // Empty for the system bus ($DBUS_SYSTEM_BUS_ADDRESS or the standard socket).
        std::string busAddress;
        std::chrono::milliseconds busRetryInterval{3000};
        // Receives one line per failure (a failed call, an unreachable bus), on the main queue.
        // Repeats of the same failure are not logged again until the operation succeeds once.
        std::function<void(const std::string&)> log;
    };

    BluezCentral(MainQueue& queue, CentralDelegate& delegate, Options options);
    ~BluezCentral() override;

    CentralState state() const override;
    std::vector<std::shared_ptr<Peripheral>> retrievePeripherals(const std::vector<std::string>& identifiers) override;
    std::vector<std::shared_ptr<Peripheral>> retrieveConnectedPeripherals(
        const std::vector<std::string>& serviceUuids) override;
    void scanForPeripherals(const std::vector<std::string>& serviceUuids) override;
    void stopScan() override;
    void connect(std::shared_ptr<Peripheral> peripheral) override;

    class Core;

private:
    std::shared_ptr<Core> core_;
    std::unique_ptr<bluez::DBusThread> bus_;
};

}  // namespace vemlo
