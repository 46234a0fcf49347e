#include "platform/bluez/BluezCentral.h"

#include "platform/bluez/BluezMessages.h"
#include "platform/bluez/DBusThread.h"
#include "platform/bluez/DeviceIdentifier.h"

#include <dbus/dbus.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <map>
#include <set>

namespace vemlo {

using namespace bluez;

namespace {

constexpr const char* kBusName = "org.freedesktop.DBus";

const std::vector<std::string> kMatchRules = {
    "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',member='NameOwnerChanged',"
    "arg0='org.bluez'",
    "type='signal',sender='org.bluez',interface='org.freedesktop.DBus.ObjectManager'",
    "type='signal',sender='org.bluez',interface='org.freedesktop.DBus.Properties',member='PropertiesChanged'",
};

// Device properties that change when an advertisement is received during discovery. Constant data,
// so that starting the program (every hook, too) builds nothing for it.
constexpr std::array<std::string_view, 8> kAdvertisementProperties = {
    "RSSI", "TxPower", "ManufacturerData", "ServiceData", "UUIDs", "Name", "AdvertisingFlags", "AdvertisingData"};

uint32_t propertiesFromFlags(const std::vector<std::string>& flags) {
    uint32_t properties = 0;
    for (const auto& flag : flags) {
        if (flag == "read") properties |= kPropertyRead;
        else if (flag == "write-without-response") properties |= kPropertyWriteWithoutResponse;
        else if (flag == "write") properties |= kPropertyWrite;
        else if (flag == "notify") properties |= kPropertyNotify;
        else if (flag == "indicate") properties |= kPropertyIndicate;
    }
    return properties;
}

bool isUnder(const std::string& path, const std::string& parent) {
    return path.size() > parent.size() && path.compare(0, parent.size(), parent) == 0 && path[parent.size()] == '/';
}

std::string parentPath(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? "/" : path.substr(0, slash);
}

std::vector<std::string> normalized(const std::vector<std::string>& uuids) {
    std::vector<std::string> out;
    for (const auto& uuid : uuids) out.push_back(normalizeBluetoothUuid(uuid));
    return out;
}

// An empty filter admits everything, as an unfiltered discovery does.
bool admits(const std::vector<std::string>& filter, const std::string& uuid) {
    return filter.empty() || std::find(filter.begin(), filter.end(), uuid) != filter.end();
}

bool sharesAny(const std::vector<std::string>& filter, const std::vector<std::string>& uuids) {
    if (filter.empty()) return true;
    return std::any_of(uuids.begin(), uuids.end(), [&](const std::string& u) { return admits(filter, u); });
}

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

}  // namespace

class BluezPeripheral;

class BluezCentral::Core final : public std::enable_shared_from_this<Core> {
public:
    Core(MainQueue& queue, CentralDelegate& delegate, std::function<void(const std::string&)> log,
         MainQueue::Duration retryInterval)
        : queue_(queue), delegate_(delegate), log_(std::move(log)), retryInterval_(retryInterval) {}

    void setBus(DBusThread* bus) { bus_ = bus; }

    // Bus events, on the main queue.
    void busConnected();
    void busUnavailable(const std::string& reason);
    void handleSignal(const MessagePtr& message);

    // Central operations.
    CentralState exposedState() const { return exposedState_; }
    std::vector<std::shared_ptr<Peripheral>> retrievePeripherals(const std::vector<std::string>& identifiers);
    std::vector<std::shared_ptr<Peripheral>> retrieveConnectedPeripherals(const std::vector<std::string>& serviceUuids);
    void scanForPeripherals(const std::vector<std::string>& serviceUuids);
    void stopScan();
    void connect(const std::shared_ptr<Peripheral>& peripheral);

    // Peripheral operations.
    void discoverServices(BluezPeripheral& device, const std::vector<std::string>& serviceUuids);
    void discoverCharacteristics(BluezPeripheral& device, const std::vector<std::string>& uuids, Service& service);
    void setNotify(BluezPeripheral& device, bool enabled, Characteristic& characteristic);
    void write(BluezPeripheral& device, const std::vector<uint8_t>& bytes, Characteristic& characteristic, WriteType type);

private:
    enum class Source { snapshot, added, changed };
    struct Adapter {
        bool powered = false;
        uint64_t order = 0;
    };

    template <typename F>
    void deliver(F task) {
        queue_.post([weak = weak_from_this(), task = std::move(task)]() mutable {
            if (auto self = weak.lock()) task(*self);
        });
    }
    // Runs `task` with the device's delegate if the link that existed when it was scheduled is
    // still connected: nothing reaches the agent about a link that has since gone.
    template <typename F>
    void deliverToDevice(BluezPeripheral& device, F task);

    void call(MessagePtr message, int timeoutMs, std::function<void(Core&, MessagePtr)> onReply);
    // A call whose only outcome of interest is a failure to log.
    void callLogged(MessagePtr message, const std::string& label, int timeoutMs = DBUS_TIMEOUT_USE_DEFAULT);
    void logFailure(const std::string& label, const MessagePtr& reply);
    void clearFailure(const std::string& label);

    void requestObjects();
    void objectsArrived(uint64_t request, const MessagePtr& reply);
    void applyObject(const ManagedObject& object, Source source);
    void removeInterfaces(const InterfacesRemoved& removal);
    void applyChange(const std::string& path, const PropertiesChanged& change);
    void updateDevice(BluezPeripheral& device, const Properties& changed, const std::vector<std::string>& invalidated,
                      Source source, bool appeared);
    void updateCharacteristic(BluezCharacteristic& characteristic, const Properties& changed, bool notifyDelegate);
    void removeDevice(const std::string& path);
    void removeEverythingUnder(const std::string& path);
    void dropAll();

    void linkDown(BluezPeripheral& device);
    void issueConnect(BluezPeripheral& device);
    void connectReplied(const std::shared_ptr<BluezPeripheral>& device, uint64_t attempt, const MessagePtr& reply);
    void deliverConnect(BluezPeripheral& device);
    void deliverServices(BluezPeripheral& device);
    void announce(BluezPeripheral& device);

    // Re-derives the power state after any change: drops links when power went, starts waiting
    // connects when it came, reports the state, and brings discovery in line with the scan.
    void afterChange();
    CentralState computeState() const;
    const std::string* currentAdapter() const;
    void updateDiscovery();
    std::vector<std::shared_ptr<BluezPeripheral>> orderedDevices() const;
    bool isCurrent(const BluezPeripheral& device) const;

    MainQueue& queue_;
    CentralDelegate& delegate_;
    std::function<void(const std::string&)> log_;
    const MainQueue::Duration retryInterval_;
    DBusThread* bus_ = nullptr;

    bool busUp_ = false;
    bool busFailureLogged_ = false;
    // The unique bus name of the running bluetoothd; signals from anyone else are ignored.
    std::optional<std::string> bluezOwner_;
    uint64_t objectsRequest_ = 0;
    bool snapshotPending_ = false;
    std::set<std::string> failing_;

    uint64_t nextOrder_ = 0;
    std::map<std::string, Adapter> adapters_;
    std::map<std::string, std::shared_ptr<BluezPeripheral>> devices_;
    std::map<std::string, std::shared_ptr<BluezService>> services_;
    std::map<std::string, std::shared_ptr<BluezCharacteristic>> characteristics_;

    std::optional<CentralState> reportedState_;
    // The state as of the last callback delivered, which is what the delegate asks about.
    CentralState exposedState_ = CentralState::unknown;

    bool scanWanted_ = false;
    std::vector<std::string> scanUuids_;
    bool discoveryOn_ = false;
    std::string discoveryAdapter_;
    uint64_t discoveryGeneration_ = 0;
};

class BluezPeripheral final : public Peripheral, public std::enable_shared_from_this<BluezPeripheral> {
public:
    BluezPeripheral(std::weak_ptr<BluezCentral::Core> core, std::string path) : core(std::move(core)), path(std::move(path)) {}

    std::string identifier() const override { return identifierText; }
    std::optional<std::string> name() const override { return nameText; }
    void setDelegate(PeripheralDelegate* d) override { delegate = d; }
    void discoverServices(const std::vector<std::string>& serviceUuids) override {
        if (auto c = core.lock()) c->discoverServices(*this, serviceUuids);
    }
    void discoverCharacteristics(const std::vector<std::string>& uuids, Service& service) override {
        if (auto c = core.lock()) c->discoverCharacteristics(*this, uuids, service);
    }
    std::optional<std::vector<std::shared_ptr<Service>>> services() const override { return discoveredServices; }
    void setNotifyValue(bool enabled, Characteristic& characteristic) override {
        if (auto c = core.lock()) c->setNotify(*this, enabled, characteristic);
    }
    void writeValue(const std::vector<uint8_t>& bytes, Characteristic& characteristic, WriteType type) override {
        if (auto c = core.lock()) c->write(*this, bytes, characteristic, type);
    }

    const std::weak_ptr<BluezCentral::Core> core;
    const std::string path;
    std::string identifierText;
    std::optional<std::string> nameText;
    std::vector<std::string> uuids;
    bool connected = false;
    bool servicesResolved = false;
    bool seen = false;  // advertised during the current discovery (BlueZ sets RSSI then)
    uint64_t order = 0;
    PeripheralDelegate* delegate = nullptr;

    Link link = Link::none;
    // Changes whenever a link ends, so callbacks scheduled for an earlier link are dropped.
    uint64_t linkGeneration = 0;
    uint64_t connectAttempt = 0;
    bool connectIssued = false;
    bool servicesWanted = false;
    std::vector<std::string> serviceFilter;
    std::optional<std::vector<std::shared_ptr<Service>>> discoveredServices;
};

// ---- calls and failures -------------------------------------------------------------------

void BluezCentral::Core::call(MessagePtr message, int timeoutMs, std::function<void(Core&, MessagePtr)> onReply) {
    if (!bus_ || !message) return;
    bus_->call(std::move(message), timeoutMs,
               [weak = weak_from_this(), &queue = queue_, onReply = std::move(onReply)](MessagePtr reply) {
                   queue.post([weak, onReply, reply] {
                       if (auto self = weak.lock()) onReply(*self, reply);
                   });
               });
}

void BluezCentral::Core::callLogged(MessagePtr message, const std::string& label, int timeoutMs) {
    call(std::move(message), timeoutMs, [label](Core& self, const MessagePtr& reply) {
        if (errorText(reply.get()))
            self.logFailure(label, reply);
        else
            self.clearFailure(label);
    });
}

void BluezCentral::Core::logFailure(const std::string& label, const MessagePtr& reply) {
    if (!failing_.insert(label + "\n" + errorName(reply.get())).second) return;
    if (log_) log_("BlueZ 调用失败: " + label + ": " + errorText(reply.get()).value_or("unexpected reply"));
}

void BluezCentral::Core::clearFailure(const std::string& label) {
    const std::string prefix = label + "\n";
    std::erase_if(failing_, [&](const std::string& key) { return key.compare(0, prefix.size(), prefix) == 0; });
}

// ---- bus and object model ----------------------------------------------------------------

void BluezCentral::Core::busConnected() {
    busUp_ = true;
    busFailureLogged_ = false;
    requestObjects();
}

void BluezCentral::Core::busUnavailable(const std::string& reason) {
    if (!busFailureLogged_ && log_) log_("系统总线不可用，稍后自动重试: " + reason);
    busFailureLogged_ = true;
    busUp_ = false;
    bluezOwner_.reset();
    ++objectsRequest_;
    snapshotPending_ = false;
    dropAll();
    afterChange();
}

void BluezCentral::Core::requestObjects() {
    snapshotPending_ = true;
    const uint64_t request = ++objectsRequest_;
    call(getManagedObjectsCall(), DBUS_TIMEOUT_USE_DEFAULT,
         [request](Core& self, const MessagePtr& reply) { self.objectsArrived(request, reply); });
}

void BluezCentral::Core::objectsArrived(uint64_t request, const MessagePtr& reply) {
    if (request != objectsRequest_) return;
    snapshotPending_ = false;
    auto objects = parseManagedObjects(reply.get());
    const char* sender = reply ? dbus_message_get_sender(reply.get()) : nullptr;
    if (!objects || !sender) {
        // No bluetoothd on the bus is the normal case here; it is watched for, not logged.
        const std::string name = errorName(reply.get());
        const bool absent = name == DBUS_ERROR_SERVICE_UNKNOWN || name == DBUS_ERROR_NAME_HAS_NO_OWNER;
        bluezOwner_.reset();
        dropAll();
        afterChange();
        if (absent) return;
        // A bluetoothd that is there but did not answer sensibly is asked again later, since no
        // change of owner will come to prompt it.
        logFailure("GetManagedObjects", reply);
        queue_.runAfter(retryInterval_, [weak = weak_from_this()] {
            auto self = weak.lock();
            if (self && self->busUp_ && !self->snapshotPending_ && !self->bluezOwner_) self->requestObjects();
        });
        return;
    }
    clearFailure("GetManagedObjects");
    bluezOwner_ = sender;

    // Objects that survive keep their identity, so what the agent holds stays valid.
    std::set<std::string> present;
    for (const auto& object : *objects) {
        present.insert(object.path);
        applyObject(object, Source::snapshot);
    }
    std::erase_if(adapters_, [&](const auto& entry) { return !present.contains(entry.first); });
    std::vector<std::string> goneDevices;
    for (const auto& [path, device] : devices_)
        if (!present.contains(path)) goneDevices.push_back(path);
    for (const auto& path : goneDevices) removeDevice(path);
    std::erase_if(services_, [&](const auto& entry) { return !present.contains(entry.first); });
    std::erase_if(characteristics_, [&](const auto& entry) { return !present.contains(entry.first); });
    afterChange();
}

void BluezCentral::Core::handleSignal(const MessagePtr& message) {
    DBusMessage* m = message.get();
    const std::string interface = dbus_message_get_interface(m) ? dbus_message_get_interface(m) : "";
    const std::string member = dbus_message_get_member(m) ? dbus_message_get_member(m) : "";
    const std::string sender = dbus_message_get_sender(m) ? dbus_message_get_sender(m) : "";

    if (interface == DBUS_INTERFACE_DBUS && member == "NameOwnerChanged") {
        if (sender != kBusName) return;
        auto change = parseNameOwnerChanged(m);
        if (!change || change->name != kService) return;
        // A new bluetoothd knows nothing of the old one's objects or connections.
        dropAll();
        if (change->newOwner.empty()) {
            bluezOwner_.reset();
            ++objectsRequest_;
            snapshotPending_ = false;
        } else {
            bluezOwner_ = change->newOwner;
            requestObjects();
        }
        afterChange();
        return;
    }

    if (!bluezOwner_ || sender != *bluezOwner_) return;
    if (interface == kObjectManagerInterface && member == "InterfacesAdded") {
        if (auto object = parseInterfacesAdded(m)) applyObject(*object, Source::added);
    } else if (interface == kObjectManagerInterface && member == "InterfacesRemoved") {
        if (auto removal = parseInterfacesRemoved(m)) removeInterfaces(*removal);
    } else if (interface == kPropertiesInterface && member == "PropertiesChanged") {
        const char* path = dbus_message_get_path(m);
        if (auto change = parsePropertiesChanged(m); change && path) applyChange(path, *change);
    } else {
        return;
    }
    afterChange();
}

void BluezCentral::Core::applyObject(const ManagedObject& object, Source source) {
    const std::string& path = object.path;
    for (const auto& [interface, properties] : object.interfaces) {
        if (interface == kAdapterInterface) {
            auto [it, isNew] = adapters_.try_emplace(path);
            if (isNew) it->second.order = nextOrder_++;
            it->second.powered = boolProperty(properties, "Powered").value_or(false);
        } else if (interface == kDeviceInterface) {
            auto& device = devices_[path];
            const bool isNew = !device;
            if (isNew) {
                device = std::make_shared<BluezPeripheral>(weak_from_this(), path);
                device->order = nextOrder_++;
            }
            updateDevice(*device, properties, {}, source, isNew);
        } else if (interface == kGattServiceInterface) {
            auto& service = services_[path];
            if (!service) {
                service = std::make_shared<BluezService>(path);
                service->order = nextOrder_++;
            }
            service->uuidText = normalizeBluetoothUuid(stringProperty(properties, "UUID").value_or(""));
            service->devicePath = stringProperty(properties, "Device").value_or(parentPath(path));
        } else if (interface == kGattCharacteristicInterface) {
            auto& characteristic = characteristics_[path];
            if (!characteristic) {
                characteristic = std::make_shared<BluezCharacteristic>(path);
                characteristic->order = nextOrder_++;
            }
            characteristic->uuidText = normalizeBluetoothUuid(stringProperty(properties, "UUID").value_or(""));
            characteristic->servicePath = stringProperty(properties, "Service").value_or(parentPath(path));
            updateCharacteristic(*characteristic, properties, /*notifyDelegate=*/source == Source::changed);
        }
    }
}

void BluezCentral::Core::removeInterfaces(const InterfacesRemoved& removal) {
    for (const auto& interface : removal.interfaces) {
        if (interface == kAdapterInterface) {
            adapters_.erase(removal.path);
            // A vanished adapter takes its devices with it, whether or not each removal is signalled.
            removeEverythingUnder(removal.path);
        } else if (interface == kDeviceInterface) {
            removeDevice(removal.path);
        } else if (interface == kGattServiceInterface) {
            services_.erase(removal.path);
        } else if (interface == kGattCharacteristicInterface) {
            characteristics_.erase(removal.path);
        }
    }
}

void BluezCentral::Core::applyChange(const std::string& path, const PropertiesChanged& change) {
    if (change.interface == kAdapterInterface) {
        auto it = adapters_.find(path);
        if (it == adapters_.end()) return;
        if (auto powered = boolProperty(change.changed, "Powered")) it->second.powered = *powered;
    } else if (change.interface == kDeviceInterface) {
        auto it = devices_.find(path);
        if (it != devices_.end()) updateDevice(*it->second, change.changed, change.invalidated, Source::changed, false);
    } else if (change.interface == kGattCharacteristicInterface) {
        auto it = characteristics_.find(path);
        if (it != characteristics_.end()) updateCharacteristic(*it->second, change.changed, /*notifyDelegate=*/true);
    }
}

void BluezCentral::Core::updateDevice(BluezPeripheral& device, const Properties& changed,
                                      const std::vector<std::string>& invalidated, Source source, bool appeared) {
    if (auto address = stringProperty(changed, "Address"); address && !address->empty())
        device.identifierText = deviceIdentifier(*address);
    if (device.identifierText.empty()) device.identifierText = deviceIdentifier(device.path);
    if (auto name = stringProperty(changed, "Name")) device.nameText = *name;
    if (std::find(invalidated.begin(), invalidated.end(), "Name") != invalidated.end()) device.nameText.reset();
    if (auto uuids = stringsProperty(changed, "UUIDs")) device.uuids = normalized(*uuids);
    if (changed.contains("RSSI")) device.seen = true;
    if (auto resolved = boolProperty(changed, "ServicesResolved")) device.servicesResolved = *resolved;

    if (auto connected = boolProperty(changed, "Connected")) {
        device.connected = *connected;
        if (*connected && device.link == Link::connecting) {
            device.link = Link::connected;
            deliverConnect(device);
        } else if (!*connected) {
            device.servicesResolved = false;
            // A connect in flight is settled by its reply; BlueZ may flip Connected on the way.
            if (device.link == Link::connected) linkDown(device);
        }
    }
    if (device.link == Link::connected && device.servicesWanted && device.servicesResolved) deliverServices(device);

    bool advertised = false;
    if (source == Source::added) advertised = true;
    if (source == Source::snapshot) advertised = appeared && device.seen;
    if (source == Source::changed)
        advertised = std::any_of(changed.begin(), changed.end(),
                                 [](const auto& entry) {
                                     return std::find(kAdvertisementProperties.begin(), kAdvertisementProperties.end(),
                                                      entry.first) != kAdvertisementProperties.end();
                                 });
    if (advertised && scanWanted_ && sharesAny(scanUuids_, device.uuids)) announce(device);
}

void BluezCentral::Core::updateCharacteristic(BluezCharacteristic& characteristic, const Properties& changed,
                                              bool notifyDelegate) {
    if (auto flags = stringsProperty(changed, "Flags")) characteristic.propertyBits = propertiesFromFlags(*flags);
    auto value = bytesProperty(changed, "Value");
    if (!value) return;
    auto service = services_.find(characteristic.servicePath);
    auto device = service == services_.end() ? devices_.end() : devices_.find(service->second->devicePath);
    if (!notifyDelegate || device == devices_.end() || device->second->link != Link::connected) {
        characteristic.currentValue = *value;
        return;
    }
    // The value is set when the callback runs, so each callback sees its own value even when
    // notifications arrive faster than the main queue runs.
    auto target = characteristics_[characteristic.path];
    deliverToDevice(*device->second, [target, bytes = *value](BluezPeripheral& peripheral, PeripheralDelegate& delegate) {
        target->currentValue = bytes;
        delegate.didUpdateValue(peripheral, *target);
    });
}

void BluezCentral::Core::removeDevice(const std::string& path) {
    auto it = devices_.find(path);
    if (it != devices_.end()) {
        auto device = it->second;
        devices_.erase(it);
        device->connected = false;
        device->servicesResolved = false;
        linkDown(*device);
    }
    std::erase_if(services_, [&](const auto& entry) { return isUnder(entry.first, path); });
    std::erase_if(characteristics_, [&](const auto& entry) { return isUnder(entry.first, path); });
}

void BluezCentral::Core::removeEverythingUnder(const std::string& path) {
    std::vector<std::string> gone;
    for (const auto& [devicePath, device] : devices_)
        if (isUnder(devicePath, path)) gone.push_back(devicePath);
    for (const auto& devicePath : gone) removeDevice(devicePath);
    std::erase_if(services_, [&](const auto& entry) { return isUnder(entry.first, path); });
    std::erase_if(characteristics_, [&](const auto& entry) { return isUnder(entry.first, path); });
}

void BluezCentral::Core::dropAll() {
    auto devices = orderedDevices();
    devices_.clear();
    for (const auto& device : devices) {
        device->connected = false;
        device->servicesResolved = false;
        linkDown(*device);
    }
    adapters_.clear();
    services_.clear();
    characteristics_.clear();
    discoveryOn_ = false;
}

// ---- links --------------------------------------------------------------------------------

template <typename F>
void BluezCentral::Core::deliverToDevice(BluezPeripheral& device, F task) {
    deliver([device = device.shared_from_this(), generation = device.linkGeneration, task = std::move(task)](Core&) mutable {
        if (device->linkGeneration != generation || device->link != Link::connected || !device->delegate) return;
        task(*device, *device->delegate);
    });
}

void BluezCentral::Core::linkDown(BluezPeripheral& device) {
    if (device.link == Link::none) return;
    device.link = Link::none;
    ++device.linkGeneration;
    device.connectIssued = false;
    device.servicesWanted = false;
    device.discoveredServices.reset();
    deliver([device = device.shared_from_this()](Core& self) { self.delegate_.didDisconnect(device); });
}

void BluezCentral::Core::deliverConnect(BluezPeripheral& device) {
    deliver([device = device.shared_from_this(), generation = device.linkGeneration](Core& self) {
        // A link that already ended is reported by its didDisconnect alone.
        if (device->linkGeneration == generation && device->link == Link::connected) self.delegate_.didConnect(device);
    });
}

bool BluezCentral::Core::isCurrent(const BluezPeripheral& device) const {
    auto it = devices_.find(device.path);
    return it != devices_.end() && it->second.get() == &device;
}

void BluezCentral::Core::connect(const std::shared_ptr<Peripheral>& peripheral) {
    auto device = std::dynamic_pointer_cast<BluezPeripheral>(peripheral);
    if (!device || device->link != Link::none) return;
    device->link = Link::connecting;
    device->connectIssued = false;
    if (!isCurrent(*device)) {
        // The device object is gone (bluetoothd forgot it or restarted): this attempt can only fail.
        linkDown(*device);
        return;
    }
    if (device->connected) {
        // Connected by the system already: its GATT objects are there to use, no Connect needed.
        device->link = Link::connected;
        deliverConnect(*device);
        return;
    }
    // With the adapter off the attempt waits, like a central that is off, until power returns.
    if (computeState() == CentralState::poweredOn) issueConnect(*device);
}

void BluezCentral::Core::issueConnect(BluezPeripheral& device) {
    device.connectIssued = true;
    const uint64_t attempt = ++device.connectAttempt;
    // No time-out of our own: a connect that never completes leaves the link connecting.
    call(methodCall(device.path, kDeviceInterface, "Connect"), DBUS_TIMEOUT_INFINITE,
         [device = device.shared_from_this(), attempt](Core& self, const MessagePtr& reply) {
             self.connectReplied(device, attempt, reply);
         });
}

void BluezCentral::Core::connectReplied(const std::shared_ptr<BluezPeripheral>& device, uint64_t attempt,
                                        const MessagePtr& reply) {
    if (device->connectAttempt != attempt || device->link != Link::connecting) return;
    if (!errorText(reply.get()) || errorName(reply.get()) == "org.bluez.Error.AlreadyConnected") {
        clearFailure("Connect");
        device->link = Link::connected;
        deliverConnect(*device);
        return;
    }
    logFailure("Connect", reply);
    linkDown(*device);
}

void BluezCentral::Core::discoverServices(BluezPeripheral& device, const std::vector<std::string>& serviceUuids) {
    if (device.link != Link::connected) return;
    device.servicesWanted = true;
    device.serviceFilter = normalized(serviceUuids);
    if (device.servicesResolved) deliverServices(device);
}

void BluezCentral::Core::deliverServices(BluezPeripheral& device) {
    device.servicesWanted = false;
    std::vector<std::shared_ptr<BluezService>> found;
    for (const auto& [path, service] : services_)
        if (service->devicePath == device.path && admits(device.serviceFilter, service->uuidText)) found.push_back(service);
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a->order < b->order; });
    std::vector<std::shared_ptr<Service>> list(found.begin(), found.end());
    deliverToDevice(device, [list](BluezPeripheral& peripheral, PeripheralDelegate& delegate) {
        peripheral.discoveredServices = list;
        delegate.didDiscoverServices(peripheral);
    });
}

void BluezCentral::Core::discoverCharacteristics(BluezPeripheral& device, const std::vector<std::string>& uuids,
                                                 Service& service) {
    auto* bluezService = dynamic_cast<BluezService*>(&service);
    if (device.link != Link::connected || !bluezService || bluezService->devicePath != device.path) return;
    const auto filter = normalized(uuids);
    std::vector<std::shared_ptr<BluezCharacteristic>> found;
    for (const auto& [path, characteristic] : characteristics_)
        if (characteristic->servicePath == bluezService->path && admits(filter, characteristic->uuidText))
            found.push_back(characteristic);
    // In the order bluetoothd listed them, which is the keyboard's own order.
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a->order < b->order; });
    std::vector<std::shared_ptr<Characteristic>> list(found.begin(), found.end());
    std::shared_ptr<Service> keep;
    if (device.discoveredServices)
        for (const auto& s : *device.discoveredServices)
            if (s.get() == &service) keep = s;
    if (!keep) return;
    deliverToDevice(device, [keep, list](BluezPeripheral& peripheral, PeripheralDelegate& delegate) {
        static_cast<BluezService&>(*keep).discovered = list;
        delegate.didDiscoverCharacteristics(peripheral, *keep);
    });
}

void BluezCentral::Core::setNotify(BluezPeripheral& device, bool enabled, Characteristic& characteristic) {
    auto* target = dynamic_cast<BluezCharacteristic*>(&characteristic);
    if (device.link != Link::connected || !target) return;
    const char* method = enabled ? "StartNotify" : "StopNotify";
    callLogged(methodCall(target->path, kGattCharacteristicInterface, method), method);
}

void BluezCentral::Core::write(BluezPeripheral& device, const std::vector<uint8_t>& bytes, Characteristic& characteristic,
                               WriteType type) {
    auto* target = dynamic_cast<BluezCharacteristic*>(&characteristic);
    if (device.link != Link::connected || !target) return;
    callLogged(writeValueCall(target->path, bytes, type == WriteType::withoutResponse), "WriteValue");
}

// ---- power and discovery ------------------------------------------------------------------

const std::string* BluezCentral::Core::currentAdapter() const {
    const std::string* best = nullptr;
    const Adapter* bestAdapter = nullptr;
    for (const auto& [path, adapter] : adapters_) {
        // A powered adapter wins over an earlier one that is off.
        if (!bestAdapter || (adapter.powered && !bestAdapter->powered) ||
            (adapter.powered == bestAdapter->powered && adapter.order < bestAdapter->order)) {
            best = &path;
            bestAdapter = &adapter;
        }
    }
    return best;
}

CentralState BluezCentral::Core::computeState() const {
    if (!busUp_) return CentralState::unknown;
    if (!bluezOwner_) return CentralState::resetting;
    const std::string* adapter = currentAdapter();
    if (!adapter) return CentralState::unsupported;
    return adapters_.at(*adapter).powered ? CentralState::poweredOn : CentralState::poweredOff;
}

void BluezCentral::Core::afterChange() {
    if (snapshotPending_) return;
    const CentralState state = computeState();
    for (const auto& device : orderedDevices()) {
        if (state != CentralState::poweredOn) {
            if (device->link == Link::connected || (device->link == Link::connecting && device->connectIssued))
                linkDown(*device);
        } else if (device->link == Link::connecting && !device->connectIssued) {
            issueConnect(*device);
        }
    }
    if (reportedState_ != state) {
        reportedState_ = state;
        deliver([state](Core& self) {
            self.exposedState_ = state;
            self.delegate_.centralDidUpdateState();
        });
    }
    updateDiscovery();
}

void BluezCentral::Core::updateDiscovery() {
    const std::string* adapter = currentAdapter();
    const bool powered = adapter && adapters_.at(*adapter).powered;
    // BlueZ ends discovery itself when the adapter powers off or goes.
    if (discoveryOn_ && (!powered || *adapter != discoveryAdapter_)) discoveryOn_ = false;
    if (scanWanted_ && powered && !discoveryOn_) {
        discoveryOn_ = true;
        discoveryAdapter_ = *adapter;
        const uint64_t generation = ++discoveryGeneration_;
        callLogged(discoveryFilterCall(*adapter, scanUuids_), "SetDiscoveryFilter");
        call(methodCall(*adapter, kAdapterInterface, "StartDiscovery"), DBUS_TIMEOUT_USE_DEFAULT,
             [generation](Core& self, const MessagePtr& reply) {
                 if (!errorText(reply.get()) || errorName(reply.get()) == "org.bluez.Error.InProgress") {
                     self.clearFailure("StartDiscovery");
                     return;
                 }
                 self.logFailure("StartDiscovery", reply);
                 if (self.discoveryGeneration_ == generation) self.discoveryOn_ = false;
             });
    } else if (!scanWanted_ && discoveryOn_) {
        discoveryOn_ = false;
        ++discoveryGeneration_;
        callLogged(methodCall(discoveryAdapter_, kAdapterInterface, "StopDiscovery"), "StopDiscovery");
    }
}

void BluezCentral::Core::announce(BluezPeripheral& device) {
    deliver([device = device.shared_from_this()](Core& self) {
        // A scan stopped by an earlier callback reports nothing more, as a stopped scan does.
        if (!self.scanWanted_ || !self.isCurrent(*device)) return;
        self.delegate_.didDiscover(device, device->nameText);
    });
}

std::vector<std::shared_ptr<BluezPeripheral>> BluezCentral::Core::orderedDevices() const {
    std::vector<std::shared_ptr<BluezPeripheral>> devices;
    for (const auto& [path, device] : devices_) devices.push_back(device);
    std::sort(devices.begin(), devices.end(), [](const auto& a, const auto& b) { return a->order < b->order; });
    return devices;
}

std::vector<std::shared_ptr<Peripheral>> BluezCentral::Core::retrievePeripherals(const std::vector<std::string>& identifiers) {
    std::vector<std::shared_ptr<Peripheral>> found;
    for (const auto& device : orderedDevices())
        if (std::find(identifiers.begin(), identifiers.end(), device->identifierText) != identifiers.end())
            found.push_back(device);
    return found;
}

std::vector<std::shared_ptr<Peripheral>> BluezCentral::Core::retrieveConnectedPeripherals(
    const std::vector<std::string>& serviceUuids) {
    const auto filter = normalized(serviceUuids);
    std::vector<std::shared_ptr<Peripheral>> found;
    for (const auto& device : orderedDevices())
        if (device->connected && sharesAny(filter, device->uuids)) found.push_back(device);
    return found;
}

void BluezCentral::Core::scanForPeripherals(const std::vector<std::string>& serviceUuids) {
    scanWanted_ = true;
    scanUuids_ = normalized(serviceUuids);
    updateDiscovery();
    // Devices another client's discovery already saw are reported at once.
    for (const auto& device : orderedDevices())
        if (device->seen && sharesAny(scanUuids_, device->uuids)) announce(*device);
}

void BluezCentral::Core::stopScan() {
    scanWanted_ = false;
    updateDiscovery();
}

// ---- the central ----------------------------------------------------------------------------

BluezCentral::BluezCentral(MainQueue& queue, CentralDelegate& delegate, Options options) {
    auto log = options.log ? std::move(options.log) : [](const std::string& line) {
        std::fprintf(stderr, "vemloconfig-agent: %s\n", line.c_str());
    };
    core_ = std::make_shared<Core>(queue, delegate, std::move(log), options.busRetryInterval);
    std::weak_ptr<Core> weak = core_;
    bluez::DBusThread::Handlers handlers;
    handlers.connected = [&queue, weak] {
        queue.post([weak] {
            if (auto core = weak.lock()) core->busConnected();
        });
    };
    handlers.unavailable = [&queue, weak](const std::string& reason) {
        queue.post([weak, reason] {
            if (auto core = weak.lock()) core->busUnavailable(reason);
        });
    };
    handlers.signal = [&queue, weak](MessagePtr message) {
        queue.post([weak, message] {
            if (auto core = weak.lock()) core->handleSignal(message);
        });
    };
    bus_ = std::make_unique<bluez::DBusThread>(options.busAddress, kMatchRules, std::move(handlers), options.busRetryInterval);
    core_->setBus(bus_.get());
}

BluezCentral::~BluezCentral() {
    core_->setBus(nullptr);
    bus_.reset();
    core_.reset();
}

CentralState BluezCentral::state() const { return core_->exposedState(); }

std::vector<std::shared_ptr<Peripheral>> BluezCentral::retrievePeripherals(const std::vector<std::string>& identifiers) {
    return core_->retrievePeripherals(identifiers);
}

std::vector<std::shared_ptr<Peripheral>> BluezCentral::retrieveConnectedPeripherals(const std::vector<std::string>& serviceUuids) {
    return core_->retrieveConnectedPeripherals(serviceUuids);
}

void BluezCentral::scanForPeripherals(const std::vector<std::string>& serviceUuids) { core_->scanForPeripherals(serviceUuids); }

void BluezCentral::stopScan() { core_->stopScan(); }

void BluezCentral::connect(std::shared_ptr<Peripheral> peripheral) { core_->connect(peripheral); }

}  // namespace vemlo
