#include "support/FakeCentral.h"

namespace vemlo::test {

FakePeripheral::FakePeripheral(std::string identifier, std::optional<std::string> name,
                               std::vector<std::shared_ptr<BasicCharacteristic>> characteristics,
                               std::string serviceUuid)
    : identifier_(std::move(identifier)), name_(std::move(name)), characteristics_(std::move(characteristics)) {
    service_ = std::make_shared<BasicService>(
        std::move(serviceUuid),
        std::vector<std::shared_ptr<Characteristic>>(characteristics_.begin(), characteristics_.end()));
}

std::shared_ptr<FakePeripheral> FakePeripheral::keyboard(std::string identifier, std::optional<std::string> name) {
    return std::make_shared<FakePeripheral>(
        std::move(identifier), std::move(name),
        std::vector{std::make_shared<BasicCharacteristic>(bluetoothUuid(0x7343), kPropertyWriteWithoutResponse),
                    std::make_shared<BasicCharacteristic>(bluetoothUuid(0x7344), kPropertyNotify)});
}

std::optional<std::vector<std::shared_ptr<Service>>> FakePeripheral::services() const {
    if (!servicesKnown_) return std::nullopt;
    return std::vector<std::shared_ptr<Service>>{service_};
}

void FakePeripheral::deliverServices() {
    servicesKnown_ = true;
    if (delegate_) delegate_->didDiscoverServices(*this);
}

void FakePeripheral::deliverValue(const std::string& characteristicUuid, std::optional<std::vector<uint8_t>> bytes) {
    auto target = std::make_shared<BasicCharacteristic>(characteristicUuid, kPropertyNotify);
    for (const auto& c : characteristics_)
        if (c->uuid() == characteristicUuid) target = c;
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

}  // namespace vemlo::test
