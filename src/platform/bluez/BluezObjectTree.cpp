#include "platform/bluez/BluezObjectTree.h"

#include "platform/bluez/DeviceIdentifier.h"

#include <algorithm>
#include <array>
#include <set>
#include <string_view>

namespace vemlo::bluez {
namespace {

// Device properties that change when an advertisement is received during discovery. Constant data,
// so that starting the program (every hook, too) builds nothing for it.
constexpr std::array<std::string_view, 8> kAdvertisementProperties = {
    "RSSI", "TxPower", "ManufacturerData", "ServiceData", "UUIDs", "Name", "AdvertisingFlags", "AdvertisingData"};

uint32_t propertiesFromFlags(const std::vector<std::string>& flags) {
    uint32_t properties = 0;
    for (const auto& flag : flags) {
        if (flag == "read")
            properties |= kPropertyRead;
        else if (flag == "write-without-response")
            properties |= kPropertyWriteWithoutResponse;
        else if (flag == "write")
            properties |= kPropertyWrite;
        else if (flag == "notify")
            properties |= kPropertyNotify;
        else if (flag == "indicate")
            properties |= kPropertyIndicate;
    }
    return properties;
}

bool isUnder(const std::string& path, const std::string& parent) {
    return path.size() > parent.size() && path.compare(0, parent.size(), parent) == 0 && path[parent.size()] == '/';
}

template <typename T>
void sortByOrder(std::vector<std::shared_ptr<T>>& objects) {
    std::sort(objects.begin(), objects.end(), [](const auto& a, const auto& b) { return a->order < b->order; });
}

}  // namespace

std::string parentPath(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? "/" : path.substr(0, slash);
}

std::vector<std::string> normalizedUuids(const std::vector<std::string>& uuids) {
    std::vector<std::string> out;
    for (const auto& uuid : uuids) out.push_back(normalizeBluetoothUuid(uuid));
    return out;
}

bool admits(const std::vector<std::string>& filter, const std::string& uuid) {
    return filter.empty() || std::find(filter.begin(), filter.end(), uuid) != filter.end();
}

bool sharesAny(const std::vector<std::string>& filter, const std::vector<std::string>& uuids) {
    if (filter.empty()) return true;
    return std::any_of(uuids.begin(), uuids.end(), [&](const std::string& u) { return admits(filter, u); });
}

BluezObjectTree::BluezObjectTree(Listener& listener, MakeDevice makeDevice)
    : listener_(listener), makeDevice_(std::move(makeDevice)) {}

void BluezObjectTree::applySnapshot(const std::vector<ManagedObject>& objects) {
    std::set<std::string> present;
    for (const auto& object : objects) {
        present.insert(object.path);
        apply(object, Source::snapshot);
    }
    std::erase_if(adapters_, [&](const auto& entry) { return !present.contains(entry.first); });
    std::vector<std::string> goneDevices;
    for (const auto& [path, device] : devices_)
        if (!present.contains(path)) goneDevices.push_back(path);
    for (const auto& path : goneDevices) removeDevice(path);
    std::erase_if(services_, [&](const auto& entry) { return !present.contains(entry.first); });
    std::erase_if(characteristics_, [&](const auto& entry) { return !present.contains(entry.first); });
}

void BluezObjectTree::apply(const ManagedObject& object, Source source) {
    const std::string& path = object.path;
    for (const auto& [interface, properties] : object.interfaces) {
        if (interface == kAdapterInterface) {
            adapters_[path].powered = boolProperty(properties, "Powered").value_or(false);
        } else if (interface == kDeviceInterface) {
            auto& device = devices_[path];
            const bool isNew = !device;
            if (isNew) {
                device = makeDevice_(path);
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
            updateCharacteristic(characteristic, properties, /*notified=*/source == Source::changed);
        }
    }
}

void BluezObjectTree::removeInterfaces(const InterfacesRemoved& removal) {
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

void BluezObjectTree::applyChange(const std::string& path, const PropertiesChanged& change) {
    if (change.interface == kAdapterInterface) {
        auto it = adapters_.find(path);
        if (it == adapters_.end()) return;
        if (auto powered = boolProperty(change.changed, "Powered")) it->second.powered = *powered;
    } else if (change.interface == kDeviceInterface) {
        auto it = devices_.find(path);
        if (it != devices_.end()) updateDevice(*it->second, change.changed, change.invalidated, Source::changed, false);
    } else if (change.interface == kGattCharacteristicInterface) {
        auto it = characteristics_.find(path);
        if (it != characteristics_.end()) updateCharacteristic(it->second, change.changed, /*notified=*/true);
    }
}

void BluezObjectTree::updateDevice(BluezPeripheral& device, const Properties& changed,
                                   const std::vector<std::string>& invalidated, Source source, bool appeared) {
    if (auto address = stringProperty(changed, "Address"); address && !address->empty())
        device.identifierText = deviceIdentifier(*address);
    if (device.identifierText.empty()) device.identifierText = deviceIdentifier(device.path);
    if (auto name = stringProperty(changed, "Name")) device.nameText = *name;
    if (std::find(invalidated.begin(), invalidated.end(), "Name") != invalidated.end()) device.nameText.reset();
    if (auto uuids = stringsProperty(changed, "UUIDs")) device.uuids = normalizedUuids(*uuids);
    if (changed.contains("RSSI")) device.seen = true;
    if (auto resolved = boolProperty(changed, "ServicesResolved")) device.servicesResolved = *resolved;
    const std::optional<bool> connected = boolProperty(changed, "Connected");
    if (connected) {
        device.connected = *connected;
        if (!*connected) device.servicesResolved = false;
    }

    bool advertised = false;
    // bluetoothd also adds devices it restores from its storage, and those carry no RSSI.
    if (source == Source::added) advertised = changed.contains("RSSI");
    if (source == Source::snapshot) advertised = appeared && device.seen;
    if (source == Source::changed)
        advertised = std::any_of(changed.begin(), changed.end(), [](const auto& entry) {
            return std::find(kAdvertisementProperties.begin(), kAdvertisementProperties.end(), entry.first) !=
                   kAdvertisementProperties.end();
        });
    listener_.deviceUpdated(device, connected, advertised);
}

void BluezObjectTree::updateCharacteristic(const std::shared_ptr<BluezCharacteristic>& characteristic,
                                           const Properties& changed, bool notified) {
    if (auto flags = stringsProperty(changed, "Flags")) characteristic->propertyBits = propertiesFromFlags(*flags);
    auto value = bytesProperty(changed, "Value");
    if (!value) return;
    auto service = services_.find(characteristic->servicePath);
    auto device = service == services_.end() ? devices_.end() : devices_.find(service->second->devicePath);
    listener_.valueArrived(characteristic, device == devices_.end() ? nullptr : device->second.get(), std::move(*value),
                           notified);
}

void BluezObjectTree::removeDevice(const std::string& path) {
    auto it = devices_.find(path);
    if (it != devices_.end()) {
        auto device = it->second;
        devices_.erase(it);
        device->connected = false;
        device->servicesResolved = false;
        listener_.deviceRemoved(*device);
    }
    std::erase_if(services_, [&](const auto& entry) { return isUnder(entry.first, path); });
    std::erase_if(characteristics_, [&](const auto& entry) { return isUnder(entry.first, path); });
}

void BluezObjectTree::removeEverythingUnder(const std::string& path) {
    std::vector<std::string> gone;
    for (const auto& [devicePath, device] : devices_)
        if (isUnder(devicePath, path)) gone.push_back(devicePath);
    for (const auto& devicePath : gone) removeDevice(devicePath);
    std::erase_if(services_, [&](const auto& entry) { return isUnder(entry.first, path); });
    std::erase_if(characteristics_, [&](const auto& entry) { return isUnder(entry.first, path); });
}

void BluezObjectTree::clear() {
    auto devices = orderedDevices();
    devices_.clear();
    for (const auto& device : devices) {
        device->connected = false;
        device->servicesResolved = false;
        listener_.deviceRemoved(*device);
    }
    adapters_.clear();
    services_.clear();
    characteristics_.clear();
}

const std::string* BluezObjectTree::currentAdapter(const std::string& preferred) const {
    if (auto it = adapters_.find(preferred); it != adapters_.end()) return &it->first;
    // The map is ordered by path, so the first powered one and the first one are each the first by name.
    for (const auto& [path, adapter] : adapters_)
        if (adapter.powered) return &path;
    return adapters_.empty() ? nullptr : &adapters_.begin()->first;
}

bool BluezObjectTree::isPowered(const std::string& adapter) const {
    auto it = adapters_.find(adapter);
    return it != adapters_.end() && it->second.powered;
}

std::vector<std::shared_ptr<BluezPeripheral>> BluezObjectTree::orderedDevices() const {
    std::vector<std::shared_ptr<BluezPeripheral>> devices;
    for (const auto& [path, device] : devices_) devices.push_back(device);
    sortByOrder(devices);
    return devices;
}

bool BluezObjectTree::isCurrent(const BluezPeripheral& device) const {
    auto it = devices_.find(device.path);
    return it != devices_.end() && it->second.get() == &device;
}

std::vector<std::shared_ptr<BluezService>> BluezObjectTree::services(const std::string& devicePath,
                                                                     const std::vector<std::string>& filter) const {
    std::vector<std::shared_ptr<BluezService>> found;
    for (const auto& [path, service] : services_)
        if (service->devicePath == devicePath && admits(filter, service->uuidText)) found.push_back(service);
    sortByOrder(found);
    return found;
}

std::vector<std::shared_ptr<BluezCharacteristic>> BluezObjectTree::characteristics(
    const std::string& servicePath, const std::vector<std::string>& filter) const {
    std::vector<std::shared_ptr<BluezCharacteristic>> found;
    for (const auto& [path, characteristic] : characteristics_)
        if (characteristic->servicePath == servicePath && admits(filter, characteristic->uuidText))
            found.push_back(characteristic);
    sortByOrder(found);
    return found;
}

}  // namespace vemlo::bluez
