#pragma once

#include "platform/BluetoothCentral.h"
#include "platform/sim/GattObjects.h"

#include <memory>
#include <string>
#include <vector>

namespace vemlo::test {

struct RecordedWrite {
    std::vector<uint8_t> bytes;
    std::string characteristicUuid;
    WriteType type;
};

// A scripted keyboard: it answers nothing by itself. Tests decide when each callback arrives.
class FakePeripheral final : public Peripheral {
public:
    FakePeripheral(std::string identifier, std::optional<std::string> name,
                   std::vector<std::shared_ptr<BasicCharacteristic>> characteristics,
                   std::string serviceUuid = bluetoothUuid(0x7340));

    // The usual keyboard: 7343 write-without-response, then 7344 notify.
    static std::shared_ptr<FakePeripheral> keyboard(std::string identifier = "A1B2C3D4-0000-4000-8000-000000000001",
                                                    std::optional<std::string> name = "Vemlo K1");

    std::string identifier() const override { return identifier_; }
    std::optional<std::string> name() const override { return name_; }
    void setDelegate(PeripheralDelegate* delegate) override { delegate_ = delegate; }
    void discoverServices(const std::vector<std::string>& uuids) override;
    void discoverCharacteristics(const std::vector<std::string>& uuids, Service& service) override;
    std::optional<std::vector<std::shared_ptr<Service>>> services() const override;
    void setNotifyValue(bool enabled, Characteristic& characteristic) override;
    void writeValue(const std::vector<uint8_t>& bytes, Characteristic& characteristic, WriteType type) override;

    // Drivers: each calls the delegate at once.
    void deliverServices();
    void deliverCharacteristics();
    void deliverValue(const std::string& characteristicUuid, std::optional<std::vector<uint8_t>> bytes);

    PeripheralDelegate* delegate() const { return delegate_; }
    std::shared_ptr<BasicCharacteristic> characteristic(const std::string& uuid) const;

    std::vector<RecordedWrite> writes;
    std::vector<std::vector<std::string>> serviceDiscoveries;
    std::vector<std::vector<std::string>> characteristicDiscoveries;
    std::vector<std::string> notifying;

private:
    std::string identifier_;
    std::optional<std::string> name_;
    std::shared_ptr<BasicService> service_;
    std::vector<std::shared_ptr<BasicCharacteristic>> characteristics_;
    PeripheralDelegate* delegate_ = nullptr;
    bool servicesKnown_ = false;
};

class FakeCentral final : public BluetoothCentral {
public:
    explicit FakeCentral(CentralDelegate& delegate) : delegate_(delegate) {}

    CentralState state() const override { return state_; }
    std::vector<std::shared_ptr<Peripheral>> retrievePeripherals(const std::vector<std::string>& identifiers) override;
    std::vector<std::shared_ptr<Peripheral>> retrieveConnectedPeripherals(
        const std::vector<std::string>& serviceUuids) override;
    void scanForPeripherals(const std::vector<std::string>& serviceUuids) override;
    void stopScan() override;
    void connect(std::shared_ptr<Peripheral> peripheral) override;

    // What the stack knows: retrievable by identifier, and connected by the system.
    std::vector<std::shared_ptr<FakePeripheral>> known;
    std::vector<std::shared_ptr<FakePeripheral>> systemConnected;

    // Drivers.
    void setState(CentralState state);
    void discover(std::shared_ptr<FakePeripheral> peripheral,
                  std::optional<std::string> advertisedLocalName = std::nullopt);
    void completeConnect(std::shared_ptr<FakePeripheral> peripheral);
    void disconnect(std::shared_ptr<FakePeripheral> peripheral);

    // Every operation the agent called, in order: "retrieve:<id>", "retrieveConnected", "scan",
    // "stopScan", "connect:<id>".
    std::vector<std::string> calls;
    bool scanning = false;

private:
    CentralDelegate& delegate_;
    CentralState state_ = CentralState::unknown;
};

}  // namespace vemlo::test
