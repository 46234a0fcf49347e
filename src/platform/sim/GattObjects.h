#pragma once

#include "platform/BluetoothCentral.h"

namespace vemlo {

// Plain in-memory services and characteristics, for backends that make up their own keyboard.
class BasicCharacteristic final : public Characteristic {
public:
    BasicCharacteristic(std::string uuid, uint32_t properties) : uuid_(std::move(uuid)), properties_(properties) {}
    std::string uuid() const override { return uuid_; }
    uint32_t properties() const override { return properties_; }
    std::optional<std::vector<uint8_t>> value() const override { return value_; }
    void setValue(std::optional<std::vector<uint8_t>> value) { value_ = std::move(value); }

private:
    std::string uuid_;
    uint32_t properties_;
    std::optional<std::vector<uint8_t>> value_;
};

class BasicService final : public Service {
public:
    BasicService(std::string uuid, std::vector<std::shared_ptr<Characteristic>> characteristics)
        : uuid_(std::move(uuid)), characteristics_(std::move(characteristics)) {}
    std::string uuid() const override { return uuid_; }
    std::vector<std::shared_ptr<Characteristic>> characteristics() const override { return characteristics_; }

private:
    std::string uuid_;
    std::vector<std::shared_ptr<Characteristic>> characteristics_;
};

}  // namespace vemlo
