#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vemlo {

// Bluetooth UUIDs are carried as their canonical 128-bit text in lower case
// ("00007340-0000-1000-8000-00805f9b34fb"), which is also how BlueZ writes them.
std::string bluetoothUuid(uint16_t shortUuid);
// Lower-cases and expands a 4-digit short form, so UUIDs from any source compare equal.
std::string normalizeBluetoothUuid(const std::string& uuid);

enum class CentralState { unknown, resetting, unsupported, unauthorized, poweredOff, poweredOn };

enum class WriteType { withResponse, withoutResponse };

// Characteristic property bits, as the GATT characteristic declaration defines them.
enum CharacteristicProperty : uint32_t {
    kPropertyRead = 0x02,
    kPropertyWriteWithoutResponse = 0x04,
    kPropertyWrite = 0x08,
    kPropertyNotify = 0x10,
    kPropertyIndicate = 0x20,
};

class Characteristic {
public:
    virtual ~Characteristic() = default;
    virtual std::string uuid() const = 0;
    virtual uint32_t properties() const = 0;
    // The last value read or notified; absent before the first one.
    virtual std::optional<std::vector<uint8_t>> value() const = 0;
};

class Service {
public:
    virtual ~Service() = default;
    virtual std::string uuid() const = 0;
    virtual std::vector<std::shared_ptr<Characteristic>> characteristics() const = 0;
};

class Peripheral;

// Callbacks about one peripheral. All arrive on the main queue, one at a time.
class PeripheralDelegate {
public:
    virtual ~PeripheralDelegate() = default;
    virtual void didDiscoverServices(Peripheral& peripheral) = 0;
    virtual void didDiscoverCharacteristics(Peripheral& peripheral, Service& service) = 0;
    // Carries the characteristic whose value changed, on either a notification or a read.
    virtual void didUpdateValue(Peripheral& peripheral, Characteristic& characteristic) = 0;
};

class Peripheral {
public:
    virtual ~Peripheral() = default;
    // A stable 128-bit identifier in upper-case canonical text; retrieving it again finds the same
    // keyboard.
    virtual std::string identifier() const = 0;
    virtual std::optional<std::string> name() const = 0;
    virtual void setDelegate(PeripheralDelegate* delegate) = 0;
    virtual void discoverServices(const std::vector<std::string>& serviceUuids) = 0;
    virtual void discoverCharacteristics(const std::vector<std::string>& characteristicUuids, Service& service) = 0;
    // Absent until services were discovered.
    virtual std::optional<std::vector<std::shared_ptr<Service>>> services() const = 0;
    virtual void setNotifyValue(bool enabled, Characteristic& characteristic) = 0;
    // Fire and forget: nothing reports whether the write arrived.
    virtual void writeValue(const std::vector<uint8_t>& bytes, Characteristic& characteristic, WriteType type) = 0;
};

// Callbacks of the central. All arrive on the main queue, one at a time.
class CentralDelegate {
public:
    virtual ~CentralDelegate() = default;
    virtual void centralDidUpdateState() = 0;
    virtual void didDiscover(std::shared_ptr<Peripheral> peripheral,
                             const std::optional<std::string>& advertisedLocalName) = 0;
    virtual void didConnect(std::shared_ptr<Peripheral> peripheral) = 0;
    virtual void didDisconnect(std::shared_ptr<Peripheral> peripheral) = 0;
};

// The Bluetooth LE central role, reduced to what the device link uses. Operations are called on
// the main queue; the power state is reported through centralDidUpdateState after creation.
class BluetoothCentral {
public:
    virtual ~BluetoothCentral() = default;
    virtual CentralState state() const = 0;
    virtual std::vector<std::shared_ptr<Peripheral>> retrievePeripherals(
        const std::vector<std::string>& identifiers) = 0;
    virtual std::vector<std::shared_ptr<Peripheral>> retrieveConnectedPeripherals(
        const std::vector<std::string>& serviceUuids) = 0;
    virtual void scanForPeripherals(const std::vector<std::string>& serviceUuids) = 0;
    virtual void stopScan() = 0;
    // Exactly one didConnect or didDisconnect follows, with no time-out and no retry.
    virtual void connect(std::shared_ptr<Peripheral> peripheral) = 0;
};

}  // namespace vemlo
