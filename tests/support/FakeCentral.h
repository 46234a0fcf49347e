#pragma once

#include "platform/BluetoothCentral.h"
#include "platform/sim/GattObjects.h"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace vemlo::test {

// A scripted keyboard: tests decide when each callback arrives and read what the agent asked of it.
class FakePeripheral final : public Peripheral {
public:
    using Characteristics = std::vector<std::shared_ptr<BasicCharacteristic>>;
    FakePeripheral(std::string identifier, std::optional<std::string> name, Characteristics characteristics)
        : identifier_(std::move(identifier)), name_(std::move(name)), characteristics_(std::move(characteristics)) {
        service_ = std::make_shared<BasicService>(
            bluetoothUuid(0x7340),
            std::vector<std::shared_ptr<Characteristic>>(characteristics_.begin(), characteristics_.end()));
    }
    static std::shared_ptr<FakePeripheral> keyboard(std::string identifier = "A1B2C3D4-0000-4000-8000-000000000001",
                                                    std::optional<std::string> name = "Vemlo K1") {
        return std::make_shared<FakePeripheral>(
            std::move(identifier), std::move(name),
            Characteristics{std::make_shared<BasicCharacteristic>(bluetoothUuid(0x7343), kPropertyWriteWithoutResponse),
                            std::make_shared<BasicCharacteristic>(bluetoothUuid(0x7344), kPropertyNotify)});
    }

    std::string identifier() const override { return identifier_; }
    std::optional<std::string> name() const override { return name_; }
    void setDelegate(PeripheralDelegate* delegate) override { delegate_ = delegate; }
    void discoverServices(const std::vector<std::string>& uuids) override { serviceDiscoveries.push_back(uuids); }
    void discoverCharacteristics(const std::vector<std::string>& uuids, Service&) override {
        characteristicDiscoveries.push_back(uuids);
    }
    std::optional<std::vector<std::shared_ptr<Service>>> services() const override {
        return servicesKnown_ ? std::optional(std::vector<std::shared_ptr<Service>>{service_}) : std::nullopt;
    }
    void setNotifyValue(bool enabled, Characteristic& c) override {
        if (enabled) notifying.push_back(c.uuid());
    }
    void writeValue(const std::vector<uint8_t>& bytes, Characteristic&, WriteType type) override {
        writes.push_back({bytes, type});
    }

    // Drivers call the delegate at once; a value on a UUID not listed is from a foreign characteristic.
    void deliverServices() { servicesKnown_ = true, delegate_ ? delegate_->didDiscoverServices(*this) : void(); }
    void deliverCharacteristics() { delegate_ ? delegate_->didDiscoverCharacteristics(*this, *service_) : void(); }
    void deliverValue(const std::string& uuid, std::optional<std::vector<uint8_t>> bytes) {
        auto target = std::make_shared<BasicCharacteristic>(uuid, kPropertyNotify);
        for (const auto& c : characteristics_) target = c->uuid() == uuid ? c : target;
        target->setValue(std::move(bytes));
        if (delegate_) delegate_->didUpdateValue(*this, *target);
    }

    struct Write {
        std::vector<uint8_t> bytes;
        WriteType type;
    };
    std::vector<Write> writes;
    std::vector<std::vector<std::string>> serviceDiscoveries, characteristicDiscoveries;
    std::vector<std::string> notifying;

private:
    std::string identifier_;
    std::optional<std::string> name_;
    Characteristics characteristics_;
    std::shared_ptr<BasicService> service_;
    PeripheralDelegate* delegate_ = nullptr;
    bool servicesKnown_ = false;
};

class FakeCentral final : public BluetoothCentral {
public:
    explicit FakeCentral(CentralDelegate& delegate) : delegate_(delegate) {}

    CentralState state() const override { return state_; }
    std::vector<std::shared_ptr<Peripheral>> retrievePeripherals(const std::vector<std::string>& identifiers) override {
        std::vector<std::shared_ptr<Peripheral>> out;
        for (const auto& id : identifiers) calls.push_back("retrieve:" + id);
        for (const auto& p : known)
            if (std::count(identifiers.begin(), identifiers.end(), p->identifier())) out.push_back(p);
        return out;
    }
    std::vector<std::shared_ptr<Peripheral>> retrieveConnectedPeripherals(const std::vector<std::string>&) override {
        calls.push_back("retrieveConnected");
        return {systemConnected.begin(), systemConnected.end()};
    }
    void scanForPeripherals(const std::vector<std::string>&) override { calls.push_back("scan"), scanning = true; }
    void stopScan() override { calls.push_back("stopScan"), scanning = false; }
    void connect(std::shared_ptr<Peripheral> p) override { calls.push_back("connect:" + p->identifier()); }

    void setState(CentralState state) { state_ = state, delegate_.centralDidUpdateState(); }
    void discover(std::shared_ptr<FakePeripheral> p, std::optional<std::string> advertisedLocalName = std::nullopt) {
        delegate_.didDiscover(std::move(p), advertisedLocalName);
    }
    void completeConnect(std::shared_ptr<FakePeripheral> p) { delegate_.didConnect(std::move(p)); }
    void disconnect(std::shared_ptr<FakePeripheral> p) { delegate_.didDisconnect(std::move(p)); }

    std::vector<std::shared_ptr<FakePeripheral>> known, systemConnected;
    // Every operation the agent called, in order ("connect:<id>", "scan", ...).
    std::vector<std::string> calls;
    bool scanning = false;

private:
    CentralDelegate& delegate_;
    CentralState state_ = CentralState::unknown;
};

}  // namespace vemlo::test
