#include "platform/bluez/BluezCentral.h"

#include "platform/bluez/BluezCentralCore.h"
#include "platform/bluez/BluezMessages.h"
#include "platform/bluez/DBusThread.h"

#include <dbus/dbus.h>

#include <algorithm>
#include <cstdio>

namespace vemlo {

using namespace bluez;

namespace {

constexpr const char* kBusName = "org.freedesktop.DBus";

// Awaited GATT calls queue up behind one another while bluetoothd takes its time; a link that stays
// that slow loses its oldest queued call, so the queue cannot grow without end.
constexpr size_t kMaxQueuedGattCalls = 64;

const std::vector<std::string> kMatchRules = {
    "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',member='NameOwnerChanged',"
    "arg0='org.bluez'",
    "type='signal',sender='org.bluez',interface='org.freedesktop.DBus.ObjectManager'",
    "type='signal',sender='org.bluez',interface='org.freedesktop.DBus.Properties',member='PropertiesChanged'",
};

}  // namespace

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

    tree_.applySnapshot(*objects);
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
        if (auto object = parseInterfacesAdded(m)) tree_.apply(*object, BluezObjectTree::Source::added);
    } else if (interface == kObjectManagerInterface && member == "InterfacesRemoved") {
        if (auto removal = parseInterfacesRemoved(m)) tree_.removeInterfaces(*removal);
    } else if (interface == kPropertiesInterface && member == "PropertiesChanged") {
        const char* path = dbus_message_get_path(m);
        if (auto change = parsePropertiesChanged(m); change && path) tree_.applyChange(path, *change);
    } else {
        return;
    }
    afterChange();
}

void BluezCentral::Core::deviceUpdated(BluezPeripheral& device, std::optional<bool> connected, bool advertised) {
    if (connected) {
        if (*connected && device.link == Link::connecting) {
            linkUp(device);
        } else if (!*connected && device.link == Link::connected) {
            // A connect in flight is settled by its reply; BlueZ may flip Connected on the way.
            linkDown(device);
        }
    }
    if (device.link == Link::connected && device.servicesWanted && device.servicesResolved) deliverServices(device);
    if (advertised && scanWanted_ && sharesAny(scanUuids_, device.uuids)) announce(device);
}

void BluezCentral::Core::valueArrived(const std::shared_ptr<BluezCharacteristic>& characteristic,
                                      BluezPeripheral* device, std::vector<uint8_t> value, bool notified) {
    if (!notified || !device || device->link != Link::connected) {
        characteristic->currentValue = std::move(value);
        return;
    }
    // The value is set when the callback runs, so each callback sees its own value even when
    // notifications arrive faster than the main queue runs.
    deliverToDevice(
        *device, [characteristic, bytes = std::move(value)](BluezPeripheral& peripheral, PeripheralDelegate& delegate) {
            characteristic->currentValue = bytes;
            delegate.didUpdateValue(peripheral, *characteristic);
        });
}

void BluezCentral::Core::dropAll() {
    tree_.clear();
    discoveryOn_ = false;
}

// ---- links --------------------------------------------------------------------------------

template <typename F>
void BluezCentral::Core::deliverToDevice(BluezPeripheral& device, F task) {
    deliver([device = device.shared_from_this(), generation = device.linkGeneration,
             task = std::move(task)](Core&) mutable {
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
    device.gattQueue.clear();
    device.gattBusy = false;
    deliver([device = device.shared_from_this()](Core& self) { self.delegate_.didDisconnect(device); });
}

void BluezCentral::Core::linkUp(BluezPeripheral& device) {
    device.link = Link::connected;
    // The keyboard's adapter stays the one to use, also across a bluetoothd restart.
    knownAdapter_ = parentPath(device.path);
    deliverConnect(device);
}

void BluezCentral::Core::deliverConnect(BluezPeripheral& device) {
    deliver([device = device.shared_from_this(), generation = device.linkGeneration](Core& self) {
        // A link that already ended is reported by its didDisconnect alone.
        if (device->linkGeneration == generation && device->link == Link::connected) self.delegate_.didConnect(device);
    });
}

void BluezCentral::Core::connect(const std::shared_ptr<Peripheral>& peripheral) {
    auto device = std::dynamic_pointer_cast<BluezPeripheral>(peripheral);
    if (!device || device->link != Link::none) return;
    device->link = Link::connecting;
    device->connectIssued = false;
    if (!tree_.isCurrent(*device)) {
        // The device object is gone (bluetoothd forgot it or restarted): this attempt can only fail.
        linkDown(*device);
        return;
    }
    if (device->connected) {
        // Connected by the system already: its GATT objects are there to use, no Connect needed.
        linkUp(*device);
        return;
    }
    // With the adapter off the attempt waits, like a central that is off, until power returns.
    if (canConnect(*device)) issueConnect(*device);
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
    if (device->connectAttempt != attempt) return;
    const bool succeeded = !errorText(reply.get()) || errorName(reply.get()) == "org.bluez.Error.AlreadyConnected";
    // bluetoothd often reports Connected before it answers, and the link is up already then.
    if (succeeded) clearFailure("Connect");
    if (device->link != Link::connecting) return;
    if (succeeded) {
        linkUp(*device);
        return;
    }
    logFailure("Connect", reply);
    linkDown(*device);
}

void BluezCentral::Core::discoverServices(BluezPeripheral& device, const std::vector<std::string>& serviceUuids) {
    if (device.link != Link::connected) return;
    device.servicesWanted = true;
    device.serviceFilter = normalizedUuids(serviceUuids);
    if (device.servicesResolved) deliverServices(device);
}

void BluezCentral::Core::deliverServices(BluezPeripheral& device) {
    device.servicesWanted = false;
    const auto found = tree_.services(device.path, device.serviceFilter);
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
    // In the order bluetoothd listed them, which is the keyboard's own order.
    const auto found = tree_.characteristics(bluezService->path, normalizedUuids(uuids));
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
    // Awaited: what is written after it is answered only once notifications are on.
    queueGatt(device, {methodCall(target->path, kGattCharacteristicInterface, method), method, true, {}, {}});
}

void BluezCentral::Core::write(BluezPeripheral& device, const std::vector<uint8_t>& bytes,
                               Characteristic& characteristic, WriteType type) {
    auto* target = dynamic_cast<BluezCharacteristic*>(&characteristic);
    if (device.link != Link::connected || !target) return;
    const bool withoutResponse = type == WriteType::withoutResponse;
    // bluetoothd refuses a write with response while the last one is out (InProgress), so those go
    // one at a time.
    queueGatt(device, {writeValueCall(target->path, bytes, withoutResponse), "WriteValue", !withoutResponse,
                       target->path, bytes});
}

void BluezCentral::Core::queueGatt(BluezPeripheral& device, GattCall gattCall) {
    auto& queue = device.gattQueue;
    // The same bytes again, still waiting behind them, would change nothing the keyboard sees or says.
    if (!gattCall.path.empty() && !queue.empty() && queue.back().path == gattCall.path &&
        queue.back().bytes == gattCall.bytes)
        return;
    if (queue.size() >= kMaxQueuedGattCalls) {
        if (log_) log_("BlueZ 调用排队过多，丢弃最早的一项: " + queue.front().label);
        queue.pop_front();
    }
    queue.push_back(std::move(gattCall));
    sendGatt(device);
}

void BluezCentral::Core::sendGatt(BluezPeripheral& device) {
    while (!device.gattBusy && !device.gattQueue.empty()) {
        GattCall next = std::move(device.gattQueue.front());
        device.gattQueue.pop_front();
        if (!next.awaited) {
            callLogged(std::move(next.message), next.label);
            continue;
        }
        device.gattBusy = true;
        call(std::move(next.message), DBUS_TIMEOUT_USE_DEFAULT,
             [device = device.shared_from_this(), generation = device.linkGeneration, label = next.label](
                 Core& self, const MessagePtr& reply) {
                 if (errorText(reply.get()))
                     self.logFailure(label, reply);
                 else
                     self.clearFailure(label);
                 // A link that ended took its queue with it.
                 if (device->linkGeneration != generation) return;
                 device->gattBusy = false;
                 self.sendGatt(*device);
             });
    }
}

// ---- power and discovery ------------------------------------------------------------------

CentralState BluezCentral::Core::computeState() const {
    if (!busUp_) return CentralState::unknown;
    if (!bluezOwner_) return CentralState::resetting;
    const std::string* adapter = tree_.currentAdapter(knownAdapter_);
    if (!adapter) return CentralState::unsupported;
    return tree_.isPowered(*adapter) ? CentralState::poweredOn : CentralState::poweredOff;
}

bool BluezCentral::Core::canConnect(const BluezPeripheral& device) const {
    return computeState() == CentralState::poweredOn && tree_.isPowered(parentPath(device.path));
}

void BluezCentral::Core::afterChange() {
    // A scan ends with the power, as it does on a central that turns off; it is asked for again
    // once the power state reported is on.
    if (computeState() != CentralState::poweredOn) scanWanted_ = false;
    if (snapshotPending_) return;
    const CentralState state = computeState();
    for (const auto& device : tree_.orderedDevices()) {
        if (!canConnect(*device)) {
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
    const std::string* adapter = tree_.currentAdapter(knownAdapter_);
    const bool powered = adapter && tree_.isPowered(*adapter);
    // BlueZ ends discovery itself when the adapter powers off or goes; one left running on an
    // adapter no longer in use is stopped.
    if (discoveryOn_ && (!powered || *adapter != discoveryAdapter_)) {
        discoveryOn_ = false;
        ++discoveryGeneration_;
        if (tree_.isPowered(discoveryAdapter_))
            callLogged(methodCall(discoveryAdapter_, kAdapterInterface, "StopDiscovery"), "StopDiscovery");
    }
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
        if (!self.scanWanted_ || !self.tree_.isCurrent(*device)) return;
        self.delegate_.didDiscover(device, device->nameText);
    });
}

std::vector<std::shared_ptr<Peripheral>> BluezCentral::Core::retrievePeripherals(
    const std::vector<std::string>& identifiers) {
    std::vector<std::shared_ptr<Peripheral>> found;
    for (const auto& device : tree_.orderedDevices())
        if (std::find(identifiers.begin(), identifiers.end(), device->identifierText) != identifiers.end())
            found.push_back(device);
    return found;
}

std::vector<std::shared_ptr<Peripheral>> BluezCentral::Core::retrieveConnectedPeripherals(
    const std::vector<std::string>& serviceUuids) {
    const auto filter = normalizedUuids(serviceUuids);
    std::vector<std::shared_ptr<Peripheral>> found;
    for (const auto& device : tree_.orderedDevices())
        if (device->connected && sharesAny(filter, device->uuids)) found.push_back(device);
    return found;
}

void BluezCentral::Core::scanForPeripherals(const std::vector<std::string>& serviceUuids) {
    // Like a central that is not on, one without a powered adapter does not scan.
    if (computeState() != CentralState::poweredOn) return;
    scanWanted_ = true;
    scanUuids_ = normalizedUuids(serviceUuids);
    updateDiscovery();
    // Devices another client's discovery already saw are reported at once.
    for (const auto& device : tree_.orderedDevices())
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
    bus_ = std::make_unique<bluez::DBusThread>(options.busAddress, kMatchRules, std::move(handlers),
                                               options.busRetryInterval);
    core_->setBus(bus_.get());
}

BluezCentral::~BluezCentral() {
    core_->setBus(nullptr);
    bus_.reset();
    core_.reset();
}

CentralState BluezCentral::state() const { return core_->exposedState(); }

std::vector<std::shared_ptr<Peripheral>> BluezCentral::retrievePeripherals(
    const std::vector<std::string>& identifiers) {
    return core_->retrievePeripherals(identifiers);
}

std::vector<std::shared_ptr<Peripheral>> BluezCentral::retrieveConnectedPeripherals(
    const std::vector<std::string>& serviceUuids) {
    return core_->retrieveConnectedPeripherals(serviceUuids);
}

void BluezCentral::scanForPeripherals(const std::vector<std::string>& serviceUuids) {
    core_->scanForPeripherals(serviceUuids);
}

void BluezCentral::stopScan() { core_->stopScan(); }

void BluezCentral::connect(std::shared_ptr<Peripheral> peripheral) { core_->connect(peripheral); }

}  // namespace vemlo
