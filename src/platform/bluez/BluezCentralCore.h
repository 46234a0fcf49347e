#pragma once

// The inside of BluezCentral, for its own source files only: link and discovery policy over the
// object tree, all of it on the main queue.

#include "platform/MainQueue.h"
#include "platform/bluez/BluezCentral.h"
#include "platform/bluez/BluezMessages.h"
#include "platform/bluez/BluezObjectTree.h"

#include <dbus/dbus.h>

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace vemlo {

namespace bluez {
class DBusThread;
}

class BluezCentral::Core final : public std::enable_shared_from_this<Core>,
                                 public bluez::PeripheralOperations,
                                 private bluez::BluezObjectTree::Listener {
public:
    Core(MainQueue& queue, CentralDelegate& delegate, std::function<void(const std::string&)> log,
         MainQueue::Duration retryInterval)
        : queue_(queue),
          delegate_(delegate),
          log_(std::move(log)),
          retryInterval_(retryInterval),
          tree_(*this, [this](const std::string& path) {
              return std::make_shared<bluez::BluezPeripheral>(weak_from_this(), path);
          }) {}

    void setBus(bluez::DBusThread* bus) { bus_ = bus; }

    // Bus events, on the main queue.
    void busConnected();
    void busUnavailable(const std::string& reason);
    void handleSignal(const bluez::MessagePtr& message);

    // Central operations.
    CentralState exposedState() const { return exposedState_; }
    std::vector<std::shared_ptr<Peripheral>> retrievePeripherals(const std::vector<std::string>& identifiers);
    std::vector<std::shared_ptr<Peripheral>> retrieveConnectedPeripherals(const std::vector<std::string>& serviceUuids);
    void scanForPeripherals(const std::vector<std::string>& serviceUuids);
    void stopScan();
    void connect(const std::shared_ptr<Peripheral>& peripheral);

    // Peripheral operations.
    void discoverServices(bluez::BluezPeripheral& device, const std::vector<std::string>& serviceUuids) override;
    void discoverCharacteristics(bluez::BluezPeripheral& device, const std::vector<std::string>& uuids,
                                 Service& service) override;
    void setNotify(bluez::BluezPeripheral& device, bool enabled, Characteristic& characteristic) override;
    void write(bluez::BluezPeripheral& device, const std::vector<uint8_t>& bytes, Characteristic& characteristic,
               WriteType type) override;

private:
    // What the object tree reports.
    void deviceUpdated(bluez::BluezPeripheral& device, std::optional<bool> connected, bool advertised) override;
    void deviceRemoved(bluez::BluezPeripheral& device) override { linkDown(device); }
    void valueArrived(const std::shared_ptr<bluez::BluezCharacteristic>& characteristic, bluez::BluezPeripheral* device,
                      std::vector<uint8_t> value, bool notified) override;

    template <typename F>
    void deliver(F task) {
        queue_.post([weak = weak_from_this(), task = std::move(task)]() mutable {
            if (auto self = weak.lock()) task(*self);
        });
    }
    // Runs `task` with the device's delegate if the link that existed when it was scheduled is
    // still connected: nothing reaches the agent about a link that has since gone.
    template <typename F>
    void deliverToDevice(bluez::BluezPeripheral& device, F task);

    void call(bluez::MessagePtr message, int timeoutMs, std::function<void(Core&, bluez::MessagePtr)> onReply);
    // A call whose only outcome of interest is a failure to log.
    void callLogged(bluez::MessagePtr message, const std::string& label, int timeoutMs = DBUS_TIMEOUT_USE_DEFAULT);
    void logFailure(const std::string& label, const bluez::MessagePtr& reply);
    void clearFailure(const std::string& label);

    void requestObjects();
    void objectsArrived(uint64_t request, const bluez::MessagePtr& reply);
    void dropAll();

    void linkDown(bluez::BluezPeripheral& device);
    void linkUp(bluez::BluezPeripheral& device);
    // Whether a link to `device` can be made now: the power is on, on the device's own adapter.
    bool canConnect(const bluez::BluezPeripheral& device) const;
    void issueConnect(bluez::BluezPeripheral& device);
    void connectReplied(const std::shared_ptr<bluez::BluezPeripheral>& device, uint64_t attempt,
                        const bluez::MessagePtr& reply);
    void deliverConnect(bluez::BluezPeripheral& device);
    void deliverServices(bluez::BluezPeripheral& device);
    // GATT calls of a link go out in order; an awaited one holds back the rest until answered.
    void queueGatt(bluez::BluezPeripheral& device, bluez::GattCall gattCall);
    void sendGatt(bluez::BluezPeripheral& device);
    void announce(bluez::BluezPeripheral& device);

    // Re-derives the power state after any change: drops links when power went, starts waiting
    // connects when it came, reports the state, and brings discovery in line with the scan.
    void afterChange();
    CentralState computeState() const;
    void updateDiscovery();

    MainQueue& queue_;
    CentralDelegate& delegate_;
    std::function<void(const std::string&)> log_;
    const MainQueue::Duration retryInterval_;
    bluez::DBusThread* bus_ = nullptr;

    bool busUp_ = false;
    bool busFailureLogged_ = false;
    // The unique bus name of the running bluetoothd; signals from anyone else are ignored.
    std::optional<std::string> bluezOwner_;
    uint64_t objectsRequest_ = 0;
    bool snapshotPending_ = false;
    std::set<std::string> failing_;

    bluez::BluezObjectTree tree_;

    std::optional<CentralState> reportedState_;
    // The state as of the last callback delivered, which is what the delegate asks about.
    CentralState exposedState_ = CentralState::unknown;

    // The adapter of the device last linked; empty before the first link.
    std::string knownAdapter_;

    bool scanWanted_ = false;
    std::vector<std::string> scanUuids_;
    bool discoveryOn_ = false;
    std::string discoveryAdapter_;
    uint64_t discoveryGeneration_ = 0;
};

}  // namespace vemlo
