#include "support/AgentHarness.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace vemlo::test {
namespace {

using ::testing::ElementsAre;
const std::vector<uint8_t> kStatusRequest{0xAA, 0xBB, 0x00, 0xCC, 0xDD};

struct DeviceLink : ::testing::Test {
    AgentHarness h;
    std::shared_ptr<FakePeripheral> keyboard = FakePeripheral::keyboard();
    std::vector<std::optional<AgentDeviceStatus>> answers;

    void query() {
        h.agent->querySwitchState(seconds(1.5), [this](auto s) { answers.push_back(s); });
    }
    long requests() const {
        return std::count_if(keyboard->writes.begin(), keyboard->writes.end(),
                             [](auto& w) { return w.bytes == kStatusRequest; });
    }
    std::string file() const { return files::readFile(livestate::filePath(h.home.path())).value_or(""); }
};

// A software lever from an earlier run never survives a restart, in the defaults or in the file.
TEST_F(DeviceLink, StartForgetsTheSoftwareLever) {
    EXPECT_THAT(h.userDefaults.removed, ElementsAre(VemloAgent::kUserSwitchOverrideDefaultsKey));
    h.agent.reset();
    files::createDirectories(livestate::folderPath(h.home.path()));
    files::atomicWrite(livestate::filePath(h.home.path()), R"({"switchState":1,"stateValue":3})");
    h.restart();
    EXPECT_EQ(file().find("switchState"), std::string::npos) << file();
    EXPECT_NE(file().find("\"stateValue\":3"), std::string::npos) << file();
}

TEST_F(DeviceLink, FirstPowerOnScansThenConnectsAndSubscribes) {
    h.central->setState(CentralState::poweredOff);
    EXPECT_TRUE(h.central->calls.empty()) << "other power states are ignored";
    h.connect(keyboard);
    EXPECT_THAT(h.central->calls,
                ElementsAre("retrieveConnected", "scan", "stopScan", "connect:" + keyboard->identifier()));
    EXPECT_THAT(keyboard->serviceDiscoveries, ElementsAre(ElementsAre(bluetoothUuid(0x7340))));
    EXPECT_THAT(keyboard->characteristicDiscoveries,
                ElementsAre(ElementsAre(bluetoothUuid(0x7343), bluetoothUuid(0x7344))));
    EXPECT_THAT(keyboard->notifying, ElementsAre(bluetoothUuid(0x7344)));
    ASSERT_EQ(keyboard->writes.size(), 1u);
    EXPECT_TRUE(keyboard->writes[0].bytes == kStatusRequest && keyboard->writes[0].type == WriteType::withoutResponse);
    EXPECT_EQ(h.systemLog.lines, h.console) << "the system log gets the console's messages";
}

// By name or advertised name starting "vemlo" in any case; one the system has connected is taken
// without a scan, by the same rule.
TEST_F(DeviceLink, WhichKeyboardIsTaken) {
    const std::tuple<std::optional<std::string>, std::optional<std::string>, bool> cases[] = {
        {"VEMLO K2", std::nullopt, true},
        {std::nullopt, "vemlo-adv", true},
        {"My Vemlo", std::nullopt, false},
        {"Other", "Vemlo X", false}};
    for (const auto& [name, advertised, taken] : cases) {
        AgentHarness fresh;
        fresh.central->setState(CentralState::poweredOn);
        fresh.central->discover(FakePeripheral::keyboard("ID-1", name), advertised);
        EXPECT_EQ(fresh.central->scanning, !taken) << name.value_or("-") << "/" << advertised.value_or("-");
    }
    h.central->systemConnected = {FakePeripheral::keyboard("ID-OTHER", "Headset"),
                                  FakePeripheral::keyboard("ID-UPPER", "VEMLO Pro")};
    h.central->setState(CentralState::poweredOn);
    EXPECT_THAT(h.central->calls, ElementsAre("retrieveConnected", "connect:ID-UPPER"));
}

// Characteristics in any order, a write with response where the keyboard offers only that; without
// the command characteristic nothing is written, and only what the keyboard received counts as sent.
TEST_F(DeviceLink, CharacteristicsInAnyOrderButBothNeeded) {
    auto c = [](uint16_t id, uint32_t props) {
        return std::make_shared<BasicCharacteristic>(bluetoothUuid(id), props);
    };
    auto reversed = std::make_shared<FakePeripheral>(
        "ID-REV", "Vemlo R",
        FakePeripheral::Characteristics{c(0x7344, kPropertyNotify), c(0x9999, kPropertyRead),
                                        c(0x7343, kPropertyWrite)});
    h.connect(reversed);
    EXPECT_TRUE(reversed->writes.size() == 1 && reversed->writes[0].type == WriteType::withResponse);
    AgentHarness other;
    auto partial = std::make_shared<FakePeripheral>("ID-P", "Vemlo P",
                                                    FakePeripheral::Characteristics{c(0x7344, kPropertyNotify)});
    other.connect(partial);
    other.queue.advance(seconds(10));
    other.agent->sendState(3);
    EXPECT_TRUE(partial->writes.empty());
    EXPECT_EQ(other.agent->lastSentState(), 0);
}

// Polls at 1 s, then every 1.5 s, except when a waiting query has just asked.
TEST_F(DeviceLink, PollingAndQueries) {
    query();
    EXPECT_THAT(answers, ElementsAre(std::nullopt)) << "no keyboard: absent at once";
    h.connect(keyboard);
    for (auto [at, expected] : {std::pair{0.999, 1}, {1.0, 2}, {7.0, 6}, {8.0, 6}}) {
        h.queue.advance(seconds(at) - h.queue.now().time_since_epoch());
        EXPECT_EQ(requests(), expected) << at;
    }
    query();
    h.queue.advance(seconds(0.5));
    EXPECT_EQ(requests(), 7);
    EXPECT_EQ(answers.size(), 1u);
}

// A frame answers every waiter and ends the override. The console gets every status line; the
// system log only those whose battery, light or lever differ from the last one it got.
TEST_F(DeviceLink, StatusFramesUpdateEverythingButTheSystemLogOnlyOnAChange) {
    h.connect(keyboard);
    h.agent->setSwitchOverride(1);
    query(), query();
    keyboard->deliverValue(bluetoothUuid(0x7344), statusFrame(80, -70, 1, 2, 3, 3, 0));
    const AgentDeviceStatus expected{80, -70, 1, 2, 3, 3, 0};
    EXPECT_THAT(answers, ElementsAre(expected, expected));
    EXPECT_TRUE(h.agent->cachedSwitchState() == 0 && h.agent->cachedLightMode() == 3 && !h.agent->userSwitchOverride());
    auto state = json::parseObject(h.liveStateText()).value_or(Json::object());
    EXPECT_EQ(Json({state["switchState"], state["lightMode"], state["workMode"], state.contains("stateValue")}),
              Json({0, 3, 3, false}));
    const std::tuple<uint8_t, int8_t, uint8_t, uint8_t, bool> frames[] = {
        {80, -40, 3, 0, false}, {79, -40, 3, 0, true}, {79, -40, 4, 0, true}, {79, -40, 4, 1, true}};
    for (const auto& [battery, signal, light, lever, journaled] : frames) {
        h.systemLog.lines.clear();
        h.takeLog();
        keyboard->deliverValue(bluetoothUuid(0x7344), statusFrame(battery, signal, 1, 2, 1, light, lever));
        EXPECT_EQ(h.takeLog().size(), 1u);
        EXPECT_EQ(h.systemLog.lines.size(), journaled ? 1u : 0u) << int(battery) << "/" << int(light);
    }
}

TEST_F(DeviceLink, OnlyStatusFramesFromOurCharacteristicsCount) {
    h.connect(keyboard);
    h.takeLog();
    keyboard->deliverValue(bluetoothUuid(0x2a19), statusFrame(1, 0, 0, 0, 0, 0, 0));
    keyboard->deliverValue(bluetoothUuid(0x7344), std::nullopt);
    EXPECT_TRUE(!h.agent->cachedSwitchState() && h.takeLog().empty());
    keyboard->deliverValue(bluetoothUuid(0x7343), statusFrame(1, 0, 0, 0, 0, 0, 9));
    EXPECT_EQ(h.agent->cachedSwitchState(), 9);
}

TEST_F(DeviceLink, DisconnectAnswersWaitersFirstThenReconnectsByIdentifier) {
    h.connect(keyboard);
    h.sendStatus(keyboard, 0);
    std::vector<std::string> events;
    h.agent->onLog = [&](const std::string& line) { events.push_back(line); };
    h.agent->querySwitchState(seconds(1.5), [&](auto s) { events.push_back(s ? "status" : "absent"); });
    h.central->known = {keyboard};
    h.central->calls.clear();
    h.central->disconnect(keyboard);
    EXPECT_THAT(events, ElementsAre("absent", "已断开，2s 后重连"));
    EXPECT_FALSE(h.agent->isConnected() || h.agent->cachedSwitchState() || h.agent->cachedLightMode());
    const long before = requests();
    h.queue.advance(seconds(1.99));
    EXPECT_TRUE(h.central->calls.empty() && requests() == before) << "polling stopped with the link";
    h.queue.advance(seconds(0.01));
    EXPECT_THAT(h.central->calls,
                ElementsAre("retrieve:" + keyboard->identifier(), "connect:" + keyboard->identifier()));
    // A late answer about a link that has ended does not revive it.
    h.central->disconnect(keyboard);
    keyboard->deliverServices();
    keyboard->deliverCharacteristics();
    EXPECT_EQ(keyboard->characteristicDiscoveries.size(), 1u);
    EXPECT_FALSE(h.agent->isConnected());
}

// Reconnect, poll, fall-back, query time-out and a file write all pending when the agent goes: none
// of them may touch the keyboard, the console or the file afterwards.
TEST_F(DeviceLink, NothingRunsAfterTheAgentIsGone) {
    h.connect(keyboard);
    h.central->disconnect(keyboard);
    h.connect(keyboard);
    h.command(R"({"cmd":"state_with_reset","value":2,"delayMs":500})");
    query();
    h.sendStatus(keyboard, 1);
    query();
    h.agent.reset();
    const auto writes = keyboard->writes.size(), lines = h.console.size();
    const auto before = file();
    EXPECT_NE(before.find("\"switchState\":1"), std::string::npos) << "gathered changes are written as it goes";
    h.queue.advance(seconds(60));
    EXPECT_TRUE(keyboard->writes.size() == writes && h.console.size() == lines && file() == before);
    EXPECT_EQ(answers.size(), 1u) << "a pending query is dropped";
}

}  // namespace
}  // namespace vemlo::test
