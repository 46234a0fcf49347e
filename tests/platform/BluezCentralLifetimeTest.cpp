// BluezCentral in this process, on a real main queue, against the fake bluetoothd.

#include "platform/AsioMainQueue.h"
#include "platform/FakeBluez.h"
#include "platform/bluez/BluezCentral.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

namespace vemlo::test {
namespace {

// Walks the link the way the agent does and counts every callback.
struct Recorder final : CentralDelegate, PeripheralDelegate {
    BluetoothCentral* central = nullptr;
    size_t callbacks = 0, values = 0;
    std::shared_ptr<Peripheral> peripheral;
    std::shared_ptr<Characteristic> command;

    void centralDidUpdateState() override {
        if (++callbacks, central->state() == CentralState::poweredOn)
            central->scanForPeripherals({bluetoothUuid(0x7340)});
    }
    void didDiscover(std::shared_ptr<Peripheral> p, const std::optional<std::string>&) override {
        ++callbacks, central->stopScan(), central->connect(peripheral = p);
        p->setDelegate(this);
    }
    void didConnect(std::shared_ptr<Peripheral> p) override { ++callbacks, p->discoverServices({}); }
    void didDisconnect(std::shared_ptr<Peripheral>) override { ++callbacks; }
    void didDiscoverServices(Peripheral& p) override {
        ++callbacks;
        for (const auto& service : p.services().value_or(std::vector<std::shared_ptr<Service>>{}))
            p.discoverCharacteristics({}, *service);
    }
    void didDiscoverCharacteristics(Peripheral& p, Service& service) override {
        ++callbacks;
        for (const auto& c : service.characteristics())
            c->uuid() == bluetoothUuid(0x7344) ? p.setNotifyValue(true, *c) : void(command = c);
        p.writeValue({0xAA, 0xBB, 0x00, 0xCC, 0xDD}, *command, WriteType::withoutResponse);
    }
    void didUpdateValue(Peripheral&, Characteristic&) override { ++callbacks, ++values; }
};

TEST(BluezCentralLifetimeTest, NothingReachesTheDelegateAfterTheCentralIsGone) {
    if (PrivateBus::daemonPath().empty()) GTEST_SKIP() << "dbus-daemon is not installed";
    TempDir folder;
    PrivateBus bus(folder.path());
    ASSERT_TRUE(bus.start());
    FakeBluezPeer peer(folder.path(), bus.address());
    ASSERT_TRUE(peer.ready());
    AsioMainQueue queue;
    Recorder recorder;
    std::vector<std::string> logged;  // failures
    auto central = std::make_unique<BluezCentral>(
        queue, recorder,
        BluezCentral::Options{bus.address(), 3s, [&](const std::string& line) { logged.push_back(line); }});
    recorder.central = central.get();
    for (auto deadline = std::chrono::steady_clock::now() + 30s;
         !recorder.values && std::chrono::steady_clock::now() < deadline;)
        queue.context().run_for(std::chrono::milliseconds(10));
    ASSERT_GE(recorder.values, 1u) << peer.output();

    // The same keyboard is found again by its identifier.
    EXPECT_EQ(central->retrievePeripherals({recorder.peripheral->identifier()}),
              std::vector<std::shared_ptr<Peripheral>>{recorder.peripheral});
    EXPECT_TRUE(central->retrievePeripherals({"00000000-0000-5000-8000-000000000000"}).empty());

    // Notifications and a disconnection reach the bus thread while the main queue is not run, so
    // they wait on it as tasks when the central goes away.
    for (int i = 0; i < 20; ++i)
        recorder.peripheral->writeValue({0xAA, 0xBB, 0x00, 0xCC, 0xDD}, *recorder.command, WriteType::withoutResponse);
    ASSERT_TRUE(peer.waitFor("write ", 21));
    peer.send("disconnect");
    ASSERT_TRUE(peer.waitFor("disconnected"));
    central.reset();  // joins the bus thread: nothing is posted after this
    const size_t callbacks = recorder.callbacks;
    // What the delegate still holds is inert.
    recorder.peripheral->discoverServices({});
    recorder.peripheral->writeValue({0xAA}, *recorder.command, WriteType::withResponse);
    queue.context().poll();
    EXPECT_EQ(recorder.callbacks, callbacks);
    EXPECT_TRUE(logged.empty()) << (logged.empty() ? "" : logged.front());
}

}  // namespace
}  // namespace vemlo::test
