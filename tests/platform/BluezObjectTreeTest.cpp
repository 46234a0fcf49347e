#include "platform/bluez/BluezObjectTree.h"
#include "platform/bluez/DeviceIdentifier.h"

#include <gtest/gtest.h>

namespace vemlo::bluez {
namespace {

const std::string kAdapter = "/org/bluez/hci0", kDevice = kAdapter + "/dev_C0_FF_EE_73_40_01";
const std::string kService = kDevice + "/service0010", kCommand = kService + "/char0011",
                  kNotify = kService + "/char0013";
using S = BluezObjectTree::Source;
using Bytes = std::vector<uint8_t>;
using Strings = std::vector<std::string>;

// Records what the tree tells its listener.
struct Tree : BluezObjectTree::Listener {
    std::vector<std::pair<std::optional<bool>, bool>> updates;  // connected, advertised
    Strings removed;
    std::vector<std::tuple<Bytes, std::string, bool>> values;  // bytes, device, notified
    BluezObjectTree tree{*this, [](const std::string& path) {
                             return std::make_shared<BluezPeripheral>(std::weak_ptr<PeripheralOperations>(), path);
                         }};

    void deviceUpdated(BluezPeripheral&, std::optional<bool> connected, bool advertised) override {
        updates.emplace_back(connected, advertised);
    }
    void deviceRemoved(BluezPeripheral& d) override {
        EXPECT_FALSE(d.connected || d.servicesResolved) << d.path;
        removed.push_back(d.path);
    }
    void valueArrived(const std::shared_ptr<BluezCharacteristic>&, BluezPeripheral* d, Bytes bytes,
                      bool notified) override {
        values.emplace_back(std::move(bytes), d ? d->path : "", notified);
    }
};

ManagedObject adapter(const std::string& path, bool powered) {
    return {path, {{kAdapterInterface, {{"Powered", powered}}}}};
}
ManagedObject device(Properties properties) { return {kDevice, {{kDeviceInterface, std::move(properties)}}}; }
ManagedObject characteristic(const std::string& path, const char* uuid, Properties properties) {
    properties["UUID"] = std::string(uuid);
    return {path, {{kGattCharacteristicInterface, std::move(properties)}}};
}

// The keyboard as bluetoothd lists it: the notify characteristic first, though its path sorts last.
std::vector<ManagedObject> keyboard() {
    return {adapter(kAdapter, true),
            device({{"Address", std::string("C0:FF:EE:73:40:01")}, {"UUIDs", Strings{"7340"}}, {"Connected", true}}),
            {kService, {{kGattServiceInterface, {{"UUID", std::string("7340")}, {"Device", kDevice}}}}},
            characteristic(kNotify, "7344", {{"Value", Bytes{1, 2}}, {"Flags", Strings{"notify"}}}),
            characteristic(kCommand, "7343", {{"Flags", Strings{"write-without-response", "write"}}})};
}

TEST(BluezObjectTree, SnapshotsKeepIdentityAndOrderAndDropWhatIsGone) {
    Tree t;
    t.tree.applySnapshot(keyboard());
    const auto keyboardDevice = t.tree.orderedDevices().at(0);
    EXPECT_EQ(keyboardDevice->uuids, Strings{"00007340-0000-1000-8000-00805f9b34fb"});
    EXPECT_EQ(t.tree.services(kDevice, {"0000180f-0000-1000-8000-00805f9b34fb"}).size(), 0u);
    const auto characteristics = t.tree.characteristics(t.tree.services(kDevice, {}).at(0)->path, {});
    ASSERT_EQ(characteristics.size(), 2u);
    EXPECT_EQ(characteristics[0]->path, kNotify);
    EXPECT_EQ(characteristics[0]->propertyBits, uint32_t{kPropertyNotify});
    EXPECT_EQ(characteristics[1]->propertyBits, uint32_t{kPropertyWriteWithoutResponse | kPropertyWrite});
    // Listed is not notified; a change notifies only as bytes, only from a known characteristic.
    t.tree.applyChange(kNotify, {kGattCharacteristicInterface, {{"Value", Bytes{0xAA, 0xBB}}}, {}});
    t.tree.applyChange(kService + "/char0099", {kGattCharacteristicInterface, {{"Value", Bytes{1}}}, {}});
    t.tree.applyChange(kNotify, {kGattCharacteristicInterface, {{"Value", std::string("not bytes")}}, {}});
    EXPECT_EQ(t.values, (decltype(t.values){{Bytes{1, 2}, kDevice, false}, {Bytes{0xAA, 0xBB}, kDevice, true}}));

    t.tree.applySnapshot(keyboard());
    EXPECT_EQ(t.tree.orderedDevices().at(0), keyboardDevice);
    EXPECT_TRUE(t.removed.empty());
    t.tree.applySnapshot({adapter(kAdapter, true)});
    EXPECT_EQ(t.removed, Strings{kDevice});
    EXPECT_FALSE(t.tree.isCurrent(*keyboardDevice));
    EXPECT_TRUE(t.tree.characteristics(kService, {}).empty());
}

TEST(BluezObjectTree, RemovalsTakeWhatLivesBelow) {
    const struct {
        InterfacesRemoved removal;  // none: the tree is cleared
        bool deviceGone, characteristicsGone;
    } cases[] = {
        {{kAdapter, {kAdapterInterface}}, true, true},
        {{kDevice, {"org.bluez.MediaControl1"}}, false, false},
        {{}, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.removal.path);
        Tree t;
        t.tree.applySnapshot(keyboard());
        c.removal.path.empty() ? t.tree.clear() : t.tree.removeInterfaces(c.removal);
        EXPECT_EQ(t.removed.size(), c.deviceGone ? 1u : 0u);
        EXPECT_EQ(t.tree.orderedDevices().empty(), c.deviceGone);
        EXPECT_EQ(t.tree.characteristics(kService, {}).empty(), c.characteristicsGone);
        EXPECT_EQ(t.tree.currentAdapter("") == nullptr, c.removal.path.empty() || c.removal.path == kAdapter);
    }
}

// bluetoothd announces adapters in no fixed order (hci1 before hci0 after a restart).
TEST(BluezObjectTree, AdapterChoiceDependsOnNamesAndPowerNotOnOrder) {
    const std::string hci1 = "/org/bluez/hci1";
    const struct {
        std::vector<ManagedObject> adapters;
        std::string preferred, chosen;
    } cases[] = {
        {{adapter(hci1, true), adapter(kAdapter, true)}, "", kAdapter},
        {{adapter(hci1, true), adapter(kAdapter, false)}, "", hci1},
        {{adapter(hci1, false), adapter(kAdapter, false)}, "", kAdapter},
        {{adapter(hci1, true), adapter(kAdapter, false)}, kAdapter, kAdapter},  // the known device's, though off
        {{adapter(hci1, true)}, kAdapter, hci1},
    };
    for (const auto& c : cases) {
        Tree t;
        for (const auto& a : c.adapters) t.tree.apply(a, S::added);
        ASSERT_NE(t.tree.currentAdapter(c.preferred), nullptr);
        EXPECT_EQ(*t.tree.currentAdapter(c.preferred), c.chosen) << c.preferred;
    }
}

TEST(BluezObjectTree, DeviceChangesAndWhatCountsAsAnAdvertisement) {
    const struct {
        const char* name;
        bool removedFirst;
        S source;
        Properties properties;
        std::optional<bool> connected;
        bool advertised;
    } steps[] = {
        {"known from a listing", false, S::snapshot, {{"Name", std::string("K1")}}, std::nullopt, false},
        {"connects", false, S::changed, {{"Connected", true}, {"ServicesResolved", true}}, true, false},
        {"disconnects, name invalidated", false, S::changed, {{"Connected", false}}, false, false},
        {"listed again, not new", false, S::snapshot, {{"RSSI", int64_t{-50}}}, std::nullopt, false},
        {"restored from storage", true, S::added, {}, std::nullopt, false},
        {"added by a scan", true, S::added, {{"RSSI", int64_t{-50}}}, std::nullopt, true},
        {"listed anew with RSSI", true, S::snapshot, {{"RSSI", int64_t{-50}}}, std::nullopt, true},
    };
    Tree t;
    for (const auto& s : steps) {
        SCOPED_TRACE(s.name);
        if (s.removedFirst) t.tree.removeInterfaces({kDevice, {kDeviceInterface}});
        if (s.source == S::changed) t.tree.applyChange(kDevice, {kDeviceInterface, s.properties, {"Name"}});
        if (s.source != S::changed) t.tree.apply(device(s.properties), s.source);
        EXPECT_EQ(t.updates.back(), std::make_pair(s.connected, s.advertised));
        const auto d = t.tree.orderedDevices().at(0);
        EXPECT_EQ(d->identifierText, deviceIdentifier(kDevice)) << "without an address, from the path";
        if (s.connected == false) {
            EXPECT_FALSE(d->servicesResolved || d->nameText) << "a link that ended resolves nothing";
        }
    }
}

}  // namespace
}  // namespace vemlo::bluez
