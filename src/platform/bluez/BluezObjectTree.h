#pragma once

#include "platform/BluetoothCentral.h"
#include "platform/bluez/BluezMessages.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vemlo::bluez {

class BluezPeripheral;

// What a peripheral asks of the central that owns it.
class PeripheralOperations {
public:
    virtual ~PeripheralOperations() = default;
    virtual void discoverServices(BluezPeripheral& device, const std::vector<std::string>& serviceUuids) = 0;
    virtual void discoverCharacteristics(BluezPeripheral& device, const std::vector<std::string>& uuids,
                                         Service& service) = 0;
    virtual void setNotify(BluezPeripheral& device, bool enabled, Characteristic& characteristic) = 0;
    virtual void write(BluezPeripheral& device, const std::vector<uint8_t>& bytes, Characteristic& characteristic,
                       WriteType type) = 0;
};

class BluezCharacteristic final : public Characteristic {
public:
    explicit BluezCharacteristic(std::string path) : path(std::move(path)) {}
    std::string uuid() const override { return uuidText; }
    uint32_t properties() const override { return propertyBits; }
    std::optional<std::vector<uint8_t>> value() const override { return currentValue; }

    const std::string path;
    std::string uuidText;
    std::string servicePath;
    uint32_t propertyBits = 0;
    std::optional<std::vector<uint8_t>> currentValue;
    uint64_t order = 0;
};

class BluezService final : public Service {
public:
    explicit BluezService(std::string path) : path(std::move(path)) {}
    std::string uuid() const override { return uuidText; }
    std::vector<std::shared_ptr<Characteristic>> characteristics() const override { return discovered; }

    const std::string path;
    std::string uuidText;
    std::string devicePath;
    uint64_t order = 0;
    // What the last characteristic discovery found; the delegate reads it in its callback.
    std::vector<std::shared_ptr<Characteristic>> discovered;
};

enum class Link { none, connecting, connected };

// A GATT call on its way to bluetoothd. `awaited` calls (StartNotify, a write with response) hold
// back everything queued after them until bluetoothd answers.
struct GattCall {
    MessagePtr message;
    std::string label;
    bool awaited = false;
    // For writes: the characteristic and the bytes, to merge a repeat.
    std::string path;
    std::vector<uint8_t> bytes;
};

// A Device1 object: what bluetoothd says of it (kept by the object tree) and the state of our link
// to it (kept by the central; the tree never touches it).
class BluezPeripheral final : public Peripheral, public std::enable_shared_from_this<BluezPeripheral> {
public:
    BluezPeripheral(std::weak_ptr<PeripheralOperations> owner, std::string path)
        : owner(std::move(owner)), path(std::move(path)) {}

    std::string identifier() const override { return identifierText; }
    std::optional<std::string> name() const override { return nameText; }
    void setDelegate(PeripheralDelegate* d) override { delegate = d; }
    void discoverServices(const std::vector<std::string>& serviceUuids) override {
        if (auto o = owner.lock()) o->discoverServices(*this, serviceUuids);
    }
    void discoverCharacteristics(const std::vector<std::string>& uuids, Service& service) override {
        if (auto o = owner.lock()) o->discoverCharacteristics(*this, uuids, service);
    }
    std::optional<std::vector<std::shared_ptr<Service>>> services() const override { return discoveredServices; }
    void setNotifyValue(bool enabled, Characteristic& characteristic) override {
        if (auto o = owner.lock()) o->setNotify(*this, enabled, characteristic);
    }
    void writeValue(const std::vector<uint8_t>& bytes, Characteristic& characteristic, WriteType type) override {
        if (auto o = owner.lock()) o->write(*this, bytes, characteristic, type);
    }

    const std::weak_ptr<PeripheralOperations> owner;
    const std::string path;

    // From bluetoothd's properties.
    std::string identifierText;
    std::optional<std::string> nameText;
    std::vector<std::string> uuids;  // normalised
    bool connected = false;
    bool servicesResolved = false;
    bool seen = false;  // advertised during the current discovery (BlueZ sets RSSI then)
    uint64_t order = 0;

    // The central's link.
    PeripheralDelegate* delegate = nullptr;
    Link link = Link::none;
    // Changes whenever a link ends, so callbacks scheduled for an earlier link are dropped.
    uint64_t linkGeneration = 0;
    uint64_t connectAttempt = 0;
    bool connectIssued = false;
    bool servicesWanted = false;
    std::vector<std::string> serviceFilter;
    std::optional<std::vector<std::shared_ptr<Service>>> discoveredServices;
    // GATT calls of this link, in the order asked, and whether an awaited one is out.
    std::deque<GattCall> gattQueue;
    bool gattBusy = false;
};

// The objects of bluetoothd that the central uses (adapters, devices, GATT services and
// characteristics), mirrored from decoded ObjectManager replies and signals. Objects keep their
// identity while bluetoothd keeps them, so what the agent holds stays valid, and they keep the
// order in which bluetoothd first listed them, which is the keyboard's own order for its GATT
// objects. What the central must act on is told to its Listener, synchronously.
class BluezObjectTree {
public:
    enum class Source { snapshot, added, changed };

    class Listener {
    public:
        virtual ~Listener() = default;
        // A device's properties were applied. `connected`: the Connected property among them.
        // `advertised`: the device counts as discovered by a scan (it appeared, or an advertisement
        // property changed, or a snapshot shows it seen by a discovery).
        virtual void deviceUpdated(BluezPeripheral& device, std::optional<bool> connected, bool advertised) = 0;
        // A device left the tree, with Connected and ServicesResolved already false.
        virtual void deviceRemoved(BluezPeripheral& device) = 0;
        // A characteristic's Value property arrived; `notified` for a change signal (a notification),
        // not a listing. `device` is the characteristic's device when the tree knows it. The listener
        // decides when the characteristic takes the value.
        virtual void valueArrived(const std::shared_ptr<BluezCharacteristic>& characteristic, BluezPeripheral* device,
                                  std::vector<uint8_t> value, bool notified) = 0;
    };
    using MakeDevice = std::function<std::shared_ptr<BluezPeripheral>(const std::string& path)>;

    BluezObjectTree(Listener& listener, MakeDevice makeDevice);

    // A GetManagedObjects reply: applies every object and drops what it no longer lists.
    void applySnapshot(const std::vector<ManagedObject>& objects);
    void apply(const ManagedObject& object, Source source);
    void removeInterfaces(const InterfacesRemoved& removal);
    void applyChange(const std::string& path, const PropertiesChanged& change);
    // bluetoothd or the bus went away: every object goes.
    void clear();

    // The adapter the central uses: `preferred` while bluetoothd lists it, else a powered one before
    // one that is off, each by name, so that the choice does not depend on the order bluetoothd
    // announces them in.
    const std::string* currentAdapter(const std::string& preferred) const;
    bool isPowered(const std::string& adapter) const;
    std::vector<std::shared_ptr<BluezPeripheral>> orderedDevices() const;
    // Whether `device` is still the tree's object for its path.
    bool isCurrent(const BluezPeripheral& device) const;
    // A device's services, and a service's characteristics, whose UUID the filter admits (an empty
    // filter admits all), in the order bluetoothd listed them.
    std::vector<std::shared_ptr<BluezService>> services(const std::string& devicePath,
                                                        const std::vector<std::string>& filter) const;
    std::vector<std::shared_ptr<BluezCharacteristic>> characteristics(const std::string& servicePath,
                                                                      const std::vector<std::string>& filter) const;

private:
    struct Adapter {
        bool powered = false;
    };

    void updateDevice(BluezPeripheral& device, const Properties& changed, const std::vector<std::string>& invalidated,
                      Source source, bool appeared);
    void updateCharacteristic(const std::shared_ptr<BluezCharacteristic>& characteristic, const Properties& changed,
                              bool notified);
    void removeDevice(const std::string& path);
    void removeEverythingUnder(const std::string& path);

    Listener& listener_;
    const MakeDevice makeDevice_;
    uint64_t nextOrder_ = 0;
    std::map<std::string, Adapter> adapters_;
    std::map<std::string, std::shared_ptr<BluezPeripheral>> devices_;
    std::map<std::string, std::shared_ptr<BluezService>> services_;
    std::map<std::string, std::shared_ptr<BluezCharacteristic>> characteristics_;
};

// The object a path lies under: a device's adapter, a characteristic's service.
std::string parentPath(const std::string& path);
// A Bluetooth UUID list in the form bluetoothd writes (128-bit, lower case).
std::vector<std::string> normalizedUuids(const std::vector<std::string>& uuids);
// An empty filter admits everything, as an unfiltered discovery does.
bool admits(const std::vector<std::string>& filter, const std::string& uuid);
bool sharesAny(const std::vector<std::string>& filter, const std::vector<std::string>& uuids);

}  // namespace vemlo::bluez
