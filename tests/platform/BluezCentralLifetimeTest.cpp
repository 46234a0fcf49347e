// BluezCentral in this process, on a real main queue, against the fake bluetoothd.

#include "platform/AsioMainQueue.h"
#include "platform/FakeBluez.h"
#include "platform/bluez/BluezCentral.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <functional>

namespace vemlo::test {
namespace {

// Records every callback and walks the link the way the agent does.
class Recorder final : public CentralDelegate, public PeripheralDelegate {
public:
    std::function<void()> onAnyCallback;
    BluetoothCentral* central = nullptr;
    std::vector<std::string> events;
    std::shared_ptr<Peripheral> peripheral;
    std::shared_ptr<Characteristic> command;

    void centralDidUpdateState() override {
        note("state " + std::to_string(static_cast<int>(central->state())));
        if (central->state() == CentralState::poweredOn) central->scanForPeripherals({bluetoothUuid(0x7340)});
    }
    void didDiscover(std::shared_ptr<Peripheral> p, const std::optional<std::string>& name) override {
        note("discover " + name.value_or("?"));
        central->stopScan();
        peripheral = p;
        p->setDelegate(this);
        central->connect(p);
    }
    void didConnect(std::shared_ptr<Peripheral> p) override {
        note("connect " + p->identifier());
        p->discoverServices({bluetoothUuid(0x7340)});
    }
    void didDisconnect(std::shared_ptr<Peripheral>) override { note("disconnect"); }
    void didDiscoverServices(Peripheral& p) override {
        note("services");
        for (const auto& service : p.services().value_or(std::vector<std::shared_ptr<Service>>{}))
            p.discoverCharacteristics({bluetoothUuid(0x7343), bluetoothUuid(0x7344)}, *service);
    }
    void didDiscoverCharacteristics(Peripheral& p, Service& service) override {
        note("characteristics");
        for (const auto& c : service.characteristics()) {
            if (c->uuid() == bluetoothUuid(0x7344)) p.setNotifyValue(true, *c);
            if (c->uuid() == bluetoothUuid(0x7343)) command = c;
        }
        if (command) p.writeValue({0xAA, 0xBB, 0x00, 0xCC, 0xDD}, *command, WriteType::withoutResponse);
    }
    void didUpdateValue(Peripheral&, Characteristic& c) override {
        note("value " + std::to_string(c.value().value_or(std::vector<uint8_t>{}).size()));
    }

    size_t count(const std::string& prefix) const {
        size_t n = 0;
        for (const auto& e : events) n += e.rfind(prefix, 0) == 0;
        return n;
    }

private:
    void note(std::string event) {
        events.push_back(std::move(event));
        if (onAnyCallback) onAnyCallback();
    }
};

bool runUntil(AsioMainQueue& queue, const std::function<bool()>& condition, std::chrono::milliseconds timeout = 30s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        queue.context().run_for(std::chrono::milliseconds(10));
    }
    return true;
}

TEST(BluezCentralLifetimeTest, NothingReachesTheDelegateAfterTheCentralIsGone) {
    if (PrivateBus::daemonPath().empty()) GTEST_SKIP() << "dbus-daemon is not installed";
    TempDir folder;
    PrivateBus bus(folder.path());
    ASSERT_TRUE(bus.start());
    FakeBluezPeer peer(folder.path(), bus.address());
    ASSERT_TRUE(peer.ready());

    AsioMainQueue queue;
    Recorder recorder;
    BluezCentral::Options options;
    options.busAddress = bus.address();
    std::vector<std::string> logged;
    options.log = [&](const std::string& line) { logged.push_back(line); };
    auto central = std::make_unique<BluezCentral>(queue, recorder, options);
    recorder.central = central.get();

    ASSERT_TRUE(runUntil(queue, [&] { return recorder.count("value 12") >= 1; })) << peer.output();
    EXPECT_EQ(recorder.events.front(), "state " + std::to_string(static_cast<int>(CentralState::poweredOn)));
    EXPECT_EQ(recorder.count("connect "), 1u);
    EXPECT_EQ(recorder.events[recorder.events.size() - recorder.count("value") - 1], "characteristics");

    // The same keyboard is found again by its identifier.
    const std::string id = recorder.peripheral->identifier();
    auto again = central->retrievePeripherals({id});
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again.front(), recorder.peripheral);
    EXPECT_TRUE(central->retrievePeripherals({"00000000-0000-5000-8000-000000000000"}).empty());

    // Notifications and a disconnection are on their way while the central goes away.
    ASSERT_TRUE(recorder.command);
    for (int i = 0; i < 20; ++i)
        recorder.peripheral->writeValue({0xAA, 0xBB, 0x00, 0xCC, 0xDD}, *recorder.command, WriteType::withoutResponse);
    ASSERT_TRUE(peer.waitFor("write ", 10));
    peer.send("disconnect");
    central.reset();
    bool calledAfterwards = false;
    recorder.onAnyCallback = [&] { calledAfterwards = true; };
    ASSERT_TRUE(peer.waitFor("disconnected"));
    queue.context().run_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(calledAfterwards);

    // What the delegate still holds is inert.
    recorder.peripheral->discoverServices({});
    recorder.peripheral->writeValue({0xAA}, *recorder.command, WriteType::withResponse);
    queue.context().run_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(calledAfterwards);
    EXPECT_TRUE(logged.empty()) << (logged.empty() ? "" : logged.front());
}

}  // namespace
}  // namespace vemlo::test
