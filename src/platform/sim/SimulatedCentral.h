#pragma once

#include "platform/BluetoothCentral.h"
#include "platform/MainQueue.h"

#include <functional>
#include <string>

namespace vemlo {

// An in-process keyboard named "Vemlo Sim": service 7340 with 7343 (write without response) and
// 7344 (notify). It answers each status request with a 12-byte status frame after `replyDelay`,
// carrying its lever, which it re-reads from `leverFile` (a decimal number) at every request, so
// the lever can be moved while the agent runs. It keeps the last LED state it was sent.
class SimulatedCentral final : public BluetoothCentral {
public:
    struct Options {
        uint8_t lever = 1;
        std::string leverFile;
        MainQueue::Duration replyDelay = std::chrono::milliseconds(15);
        // Told, once per new problem, when `leverFile` is there but cannot be read or holds no lever.
        std::function<void(const std::string&)> log;
    };

    // Options from VEMLO_SIM_LEVER (default 1: a simulated keyboard never approves tools unless
    // asked), VEMLO_SIM_LEVER_FILE (default paths::simLeverFile) and VEMLO_SIM_DELAY_MS (default 15).
    static Options optionsFromEnvironment(const std::string& home);

    SimulatedCentral(MainQueue& queue, CentralDelegate& delegate, Options options);
    ~SimulatedCentral() override;

    CentralState state() const override { return CentralState::poweredOn; }
    std::vector<std::shared_ptr<Peripheral>> retrievePeripherals(const std::vector<std::string>& identifiers) override;
    std::vector<std::shared_ptr<Peripheral>> retrieveConnectedPeripherals(
        const std::vector<std::string>& serviceUuids) override;
    void scanForPeripherals(const std::vector<std::string>& serviceUuids) override;
    void stopScan() override { scanning_ = false; }
    void connect(std::shared_ptr<Peripheral> peripheral) override;

    class Keyboard;

private:
    MainQueue& queue_;
    CentralDelegate& delegate_;
    // Declared before the keyboard, which takes a weak reference to it.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    std::shared_ptr<Keyboard> keyboard_;
    bool scanning_ = false;
};

}  // namespace vemlo
