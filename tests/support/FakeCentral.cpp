#include "support/FakeCentral.h"

namespace vemlo::test {

FakePeripheral::FakePeripheral(std::string identifier, std::optional<std::string> name,
                               std::vector<std::shared_ptr<BasicCharacteristic>> characteristics,
                               std::string serviceUuid)
    : identifier_(std::move(identifier)), name_(std::move(name)), characteristics_(std::move(characteristics)) {
    std::vector<std::shared_ptr<Characteristic>> list(characteristics_.begin(), characteristics_.end());
    service_ = std::make_shared<BasicService>(std::move(serviceUuid), std::move(list));
}

std::shared_ptr<FakePeripheral> FakePeripheral::keyboard(std::string identifier, std::optional<std::string> name) {
    return std::make_shared<FakePeripheral>(
        std::move(identifier), std::move(name),
        std::vector<std::shared_ptr<BasicCharacteristic>>{
            std::make_shared<BasicCharacteristic>(bluetoothUuid(0x7343), kPropertyWriteWithoutResponse),
            std::make_shared<BasicCharacteristic>(bluetoothUuid(0x7344), kPropertyNotify)});
}

void FakePeripheral::discoverServices(const std::vector<std::string>& uuids) { serviceDiscoveries.push_back(uuids); }

void FakePeripheral::discoverCharacteristics(const std::vector<std::string>& uuids, Service&) {
    characteristicDiscoveries.push_back(uuids);
}

std::optional<std::vector<std::shared_ptr<Service>>> FakePeripheral::services() const {
    if (!servicesKnown_) return std::nullopt;
    return std::vector<std::shared_ptr<Service>>{service_};
}

void FakePeripheral::setNotifyValue(bool enabled, Characteristic& characteristic) {
    if (enabled) notifying.push_back(characteristic.uuid());
}

void FakePeripheral::writeValue(const std::vector<uint8_t>& bytes, Characteristic& characteristic, WriteType type) {
    writes.push_back({bytes, characteristic.uuid(), type});
}

void FakePeripheral::deliverServices() {
    servicesKnown_ = true;
    if (delegate_) delegate_->didDiscoverServices(*this);
}

void FakePeripheral::deliverCharacteristics() {
    if (delegate_) delegate_->didDiscoverCharacteristics(*this, *service_);
}

std::shared_ptr<BasicCharacteristic> FakePeripheral::characteristic(const std::string& uuid) const {
    for (const auto& c : characteristics_)
        if (c->uuid() == uuid) return c;
    return nullptr;
}

void FakePeripheral::deliverValue(const std::string& characteristicUuid, std::optional<std::vector<uint8_t>> bytes) {
    auto target = characteristic(characteristicUuid);
    // A UUID the keyboard does not list stands for a characteristic the agent never asked for.
    if (!target) target = std::make_shared<BasicCharacteristic>(characteristicUuid, kPropertyNotify);
    target->setValue(std::move(bytes));
    if (delegate_) delegate_->didUpdateValue(*this, *target);
}

std::vector<std::shared_ptr<Peripheral>> FakeCentral::retrievePeripherals(const std::vector<std::string>& identifiers) {
    std::vector<std::shared_ptr<Peripheral>> out;
    for (const auto& id : identifiers) {
        calls.push_back("retrieve:" + id);
        for (const auto& p : known)
            if (p->identifier() == id) out.push_back(p);
    }
    return out;
}

std::vector<std::shared_ptr<Peripheral>> FakeCentral::retrieveConnectedPeripherals(const std::vector<std::string>&) {
    calls.push_back("retrieveConnected");
    return {systemConnected.begin(), systemConnected.end()};
}

void FakeCentral::scanForPeripherals(const std::vector<std::string>&) {
    calls.push_back("scan");
    scanning = true;
}

void FakeCentral::stopScan() {
    calls.push_back("stopScan");
    scanning = false;
}

void FakeCentral::connect(std::shared_ptr<Peripheral> peripheral) {
    calls.push_back("connect:" + peripheral->identifier());
}

void FakeCentral::setState(CentralState state) {
    state_ = state;
    delegate_.centralDidUpdateState();
}

void FakeCentral::discover(std::shared_ptr<FakePeripheral> peripheral, std::optional<std::string> advertisedLocalName) {
    delegate_.didDiscover(std::move(peripheral), advertisedLocalName);
}

void FakeCentral::completeConnect(std::shared_ptr<FakePeripheral> peripheral) {
    delegate_.didConnect(std::move(peripheral));
}

void FakeCentral::disconnect(std::shared_ptr<FakePeripheral> peripheral) {
    delegate_.didDisconnect(std::move(peripheral));
}

}  // namespace vemlo::test
