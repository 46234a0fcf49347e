#include "platform/bluez/BluezObjectTree.h"
#include "platform/bluez/DeviceIdentifier.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vemlo::bluez {
namespace {

const std::string kAdapter = "/org/bluez/hci0";
const std::string kDevice = kAdapter + "/dev_C0_FF_EE_73_40_01";
const std::string kService = kDevice + "/service0010";
const std::string kCommand = kService + "/char0011";
const std::string kNotify = kService + "/char0013";
const std::string kServiceUuid = "00007340-0000-1000-8000-00805f9b34fb";

struct Recorder : BluezObjectTree::Listener {
    struct Update {
        std::string path;
        std::optional<bool> connected;
        bool advertised;
    };
    struct Value {
        std::string path;
        std::string device;
        std::vector<uint8_t> bytes;
        bool notified;
    };
    std::vector<Update> updates;
    std::vector<std::string> removed;
    std::vector<Value> values;

    void deviceUpdated(BluezPeripheral& device, std::optional<bool> connected, bool advertised) override {
        updates.push_back({device.path, connected, advertised});
    }
    void deviceRemoved(BluezPeripheral& device) override {
        EXPECT_FALSE(device.connected || device.servicesResolved) << device.path;
        removed.push_back(device.path);
    }
    void valueArrived(const std::shared_ptr<BluezCharacteristic>& c, BluezPeripheral* device,
                      std::vector<uint8_t> bytes, bool notified) override {
        values.push_back({c->path, device ? device->path : "", std::move(bytes), notified});
    }
};

struct Tree {
    Recorder recorder;
    BluezObjectTree tree{recorder, [](const std::string& path) {
                             return std::make_shared<BluezPeripheral>(std::weak_ptr<PeripheralOperations>(), path);
                         }};
};

ManagedObject adapter(const std::string& path, bool powered) {
    return {path, {{kAdapterInterface, {{"Powered", powered}}}}};
}

ManagedObject device(Properties properties) { return {kDevice, {{kDeviceInterface, std::move(properties)}}}; }

// The keyboard as bluetoothd lists it: the notify characteristic first.
std::vector<ManagedObject> keyboard() {
    return {
        adapter(kAdapter, true),
        device({{"Address", std::string("C0:FF:EE:73:40:01")},
                {"Name", std::string("Vemlo K1")},
                {"UUIDs", std::vector<std::string>{"7340"}},
                {"Connected", true},
                {"ServicesResolved", true}}),
        {kService, {{kGattServiceInterface, {{"UUID", std::string("7340")}, {"Device", kDevice}}}}},
        {kNotify,
         {{kGattCharacteristicInterface,
           {{"UUID", std::string("7344")},
            {"Flags", std::vector<std::string>{"notify"}},
            {"Value", std::vector<uint8_t>{1, 2}}}}}},
        {kCommand,
         {{kGattCharacteristicInterface,
           {{"UUID", std::string("7343")}, {"Flags", std::vector<std::string>{"write-without-response", "write"}}}}}},
    };
}

TEST(BluezObjectTree, SnapshotsKeepIdentityAndOrderAndDropWhatIsGone) {
    Tree t;
    t.tree.applySnapshot(keyboard());
    auto devices = t.tree.orderedDevices();
    ASSERT_EQ(devices.size(), 1u);
    const std::shared_ptr<BluezPeripheral> keyboardDevice = devices[0];
    EXPECT_EQ(keyboardDevice->identifierText, "7019ADD9-32F5-577A-ADF9-D7E883B29F1F");
    EXPECT_EQ(keyboardDevice->nameText, "Vemlo K1");
    EXPECT_EQ(keyboardDevice->uuids, std::vector<std::string>{kServiceUuid});
    EXPECT_TRUE(keyboardDevice->connected && keyboardDevice->servicesResolved);

    ASSERT_EQ(t.tree.services(kDevice, {kServiceUuid}).size(), 1u);
    EXPECT_TRUE(t.tree.services(kDevice, {"0000180f-0000-1000-8000-00805f9b34fb"}).empty());
    const auto characteristics = t.tree.characteristics(kService, {});
    ASSERT_EQ(characteristics.size(), 2u);
    EXPECT_EQ(characteristics[0]->path, kNotify);  // as listed, not as sorted by path
    EXPECT_EQ(characteristics[0]->propertyBits, uint32_t{kPropertyNotify});
    EXPECT_EQ(characteristics[1]->propertyBits, uint32_t{kPropertyWriteWithoutResponse | kPropertyWrite});
    ASSERT_EQ(t.recorder.values.size(), 1u);
    EXPECT_EQ(t.recorder.values[0].device, kDevice);
    EXPECT_FALSE(t.recorder.values[0].notified);

    t.tree.applySnapshot(keyboard());
    EXPECT_EQ(t.tree.orderedDevices()[0], keyboardDevice);
    EXPECT_TRUE(t.tree.isCurrent(*keyboardDevice));
    EXPECT_TRUE(t.recorder.removed.empty());

    t.tree.applySnapshot({adapter(kAdapter, true)});
    EXPECT_EQ(t.recorder.removed, std::vector<std::string>{kDevice});
    EXPECT_FALSE(t.tree.isCurrent(*keyboardDevice));
    EXPECT_TRUE(t.tree.services(kDevice, {}).empty());
    EXPECT_TRUE(t.tree.characteristics(kService, {}).empty());
}

TEST(BluezObjectTree, RemovalsTakeWhatLivesBelow) {
    const struct {
        const char* name;
        InterfacesRemoved removal;
        bool deviceGone;
        bool characteristicsGone;
    } cases[] = {
        {"adapter", {kAdapter, {kAdapterInterface}}, true, true},
        {"device", {kDevice, {kDeviceInterface}}, true, true},
        {"one characteristic", {kNotify, {kGattCharacteristicInterface}}, false, false},
        {"another interface", {kDevice, {"org.bluez.MediaControl1"}}, false, false},
    };
    for (const auto& c : cases) {
        Tree t;
        t.tree.applySnapshot(keyboard());
        t.tree.removeInterfaces(c.removal);
        EXPECT_EQ(t.recorder.removed.size(), c.deviceGone ? 1u : 0u) << c.name;
        EXPECT_EQ(t.tree.orderedDevices().empty(), c.deviceGone) << c.name;
        EXPECT_EQ(t.tree.characteristics(kService, {}).empty(), c.characteristicsGone) << c.name;
    }
    Tree t;
    t.tree.applySnapshot(keyboard());
    t.tree.clear();
    EXPECT_EQ(t.recorder.removed, std::vector<std::string>{kDevice});
    EXPECT_EQ(t.tree.currentAdapter(), nullptr);
}

TEST(BluezObjectTree, ThePoweredAdapterFirstElseTheFirstListed) {
    const struct {
        std::vector<std::pair<std::string, bool>> adapters;
        std::string expected;
    } cases[] = {
        {{{"/org/bluez/hci1", false}, {"/org/bluez/hci0", false}}, "/org/bluez/hci1"},
        {{{"/org/bluez/hci1", false}, {"/org/bluez/hci0", true}}, "/org/bluez/hci0"},
        {{{"/org/bluez/hci1", true}, {"/org/bluez/hci0", true}}, "/org/bluez/hci1"},
    };
    for (const auto& c : cases) {
        Tree t;
        for (const auto& [path, powered] : c.adapters)
            t.tree.apply(adapter(path, powered), BluezObjectTree::Source::added);
        ASSERT_NE(t.tree.currentAdapter(), nullptr);
        EXPECT_EQ(*t.tree.currentAdapter(), c.expected);
    }
    Tree t;
    t.tree.apply(adapter(kAdapter, false), BluezObjectTree::Source::added);
    t.tree.applyChange(kAdapter, {kAdapterInterface, {{"Powered", true}}, {}});
    EXPECT_TRUE(t.tree.isPowered(kAdapter));
}

TEST(BluezObjectTree, DeviceChangesAndWhatCountsAsAnAdvertisement) {
    using S = BluezObjectTree::Source;
    Tree t;
    t.tree.apply(device({{"Name", std::string("Vemlo K1")}}), S::snapshot);  // known, not seen by a discovery
    t.tree.applyChange(kDevice, {kDeviceInterface, {{"Connected", true}, {"ServicesResolved", true}}, {}});
    t.tree.applyChange(kDevice, {kDeviceInterface, {{"RSSI", int64_t{-60}}}, {"Name"}});
    t.tree.applyChange(kDevice, {kDeviceInterface, {{"Connected", false}}, {}});
    t.tree.apply(device({{"RSSI", int64_t{-50}}}), S::snapshot);  // no longer new
    t.tree.removeInterfaces({kDevice, {kDeviceInterface}});
    t.tree.apply(device({}), S::added);
    t.tree.removeInterfaces({kDevice, {kDeviceInterface}});
    t.tree.apply(device({{"RSSI", int64_t{-50}}}), S::snapshot);

    const std::vector<std::pair<std::optional<bool>, bool>> expected = {
        {std::nullopt, false}, {true, false},        {std::nullopt, true}, {false, false},
        {std::nullopt, false}, {std::nullopt, true}, {std::nullopt, true},
    };
    ASSERT_EQ(t.recorder.updates.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(t.recorder.updates[i].connected, expected[i].first) << i;
        EXPECT_EQ(t.recorder.updates[i].advertised, expected[i].second) << i;
    }
    Tree u;
    u.tree.apply(device({{"Name", std::string("Vemlo K1")}}), S::added);
    const auto d = u.tree.orderedDevices().at(0);
    EXPECT_EQ(d->identifierText, deviceIdentifier(kDevice)) << "without an address, from the path";
    u.tree.applyChange(kDevice, {kDeviceInterface, {{"Connected", true}, {"ServicesResolved", true}}, {}});
    u.tree.applyChange(kDevice, {kDeviceInterface, {{"Connected", false}}, {"Name"}});
    EXPECT_FALSE(d->servicesResolved) << "a link that ended resolves nothing";
    EXPECT_EQ(d->nameText, std::nullopt);
}

TEST(BluezObjectTree, NotificationsAreTheChangedValuesOfKnownCharacteristics) {
    Tree t;
    t.tree.applySnapshot(keyboard());
    t.recorder.values.clear();
    t.tree.applyChange(kNotify, {kGattCharacteristicInterface, {{"Value", std::vector<uint8_t>{0xAA, 0xBB}}}, {}});
    t.tree.applyChange(kService + "/char0099",
                       {kGattCharacteristicInterface, {{"Value", std::vector<uint8_t>{1}}}, {}});
    t.tree.applyChange(kNotify, {kGattCharacteristicInterface, {{"Value", std::string("not bytes")}}, {}});
    ASSERT_EQ(t.recorder.values.size(), 1u);
    EXPECT_EQ(t.recorder.values[0].bytes, (std::vector<uint8_t>{0xAA, 0xBB}));
    EXPECT_EQ(t.recorder.values[0].device, kDevice);
    EXPECT_TRUE(t.recorder.values[0].notified);
}

}  // namespace
}  // namespace vemlo::bluez
