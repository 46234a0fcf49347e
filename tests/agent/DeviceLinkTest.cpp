#include "agent/LiveStateFile.h"
#include "platform/Json.h"
#include "support/AgentHarness.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace vemlo::test {
namespace {

using ::testing::ElementsAre;
using Bytes = std::vector<uint8_t>;

const Bytes kStatusRequest{0xAA, 0xBB, 0x00, 0xCC, 0xDD};

size_t statusRequests(const FakePeripheral& keyboard) {
    size_t n = 0;
    for (const auto& w : keyboard.writes) n += w.bytes == kStatusRequest;
    return n;
}

struct DeviceLink : ::testing::Test {
    AgentHarness h;
    std::shared_ptr<FakePeripheral> keyboard = FakePeripheral::keyboard();

    void ready() {
        h.connect(keyboard);
        h.takeLog();
    }
};

TEST_F(DeviceLink, FirstPowerOnScansThenConnectsAndSubscribes) {
    h.central->setState(CentralState::poweredOff);
    EXPECT_TRUE(h.console.empty()) << "other power states are ignored";
    h.connect(keyboard);
    EXPECT_THAT(h.central->calls,
                ElementsAre("retrieveConnected", "scan", "stopScan", "connect:" + keyboard->identifier()));
    EXPECT_THAT(h.takeLog(), ElementsAre("蓝牙就绪", "开始扫描…", "发现: Vemlo K1", "已连接: Vemlo K1", "命令通道就绪",
                                         "通知通道已订阅"));
    EXPECT_THAT(keyboard->serviceDiscoveries, ElementsAre(ElementsAre(bluetoothUuid(0x7340))));
    EXPECT_THAT(keyboard->characteristicDiscoveries,
                ElementsAre(ElementsAre(bluetoothUuid(0x7343), bluetoothUuid(0x7344))));
    EXPECT_THAT(keyboard->notifying, ElementsAre(bluetoothUuid(0x7344)));
    ASSERT_EQ(keyboard->writes.size(), 1u);
    EXPECT_EQ(keyboard->writes[0].bytes, kStatusRequest);
    EXPECT_EQ(keyboard->writes[0].type, WriteType::withoutResponse);
    EXPECT_TRUE(h.agent->isConnected());
}

TEST_F(DeviceLink, DiscoveryNames) {
    struct Case {
        std::optional<std::string> name;
        std::optional<std::string> advertised;
        bool taken;
    };
    const Case cases[] = {
        {"VEMLO K2", std::nullopt, true},     // prefix in other letter case
        {std::nullopt, "vemlo-adv", true},    // no name, advertised local name
        {"My Vemlo", std::nullopt, false},    // prefix only further in
        {std::nullopt, std::nullopt, false},  // nothing to go by
        {"Other", "Vemlo X", false},          // the name wins over the advertisement
    };
    for (const auto& c : cases) {
        AgentHarness fresh;
        fresh.central->setState(CentralState::poweredOn);
        auto p = FakePeripheral::keyboard("ID-1", c.name);
        fresh.central->discover(p, c.advertised);
        EXPECT_EQ(fresh.central->scanning, !c.taken) << c.name.value_or("-") << "/" << c.advertised.value_or("-");
    }
}

TEST_F(DeviceLink, SystemConnectedKeyboardIsPreferredOverScanning) {
    auto other = FakePeripheral::keyboard("ID-OTHER", "Headset");
    auto nameless = FakePeripheral::keyboard("ID-NONAME", std::nullopt);
    auto upper = FakePeripheral::keyboard("ID-UPPER", "VEMLO Pro");
    h.central->systemConnected = {other, nameless, upper};
    h.central->setState(CentralState::poweredOn);
    EXPECT_THAT(h.central->calls, ElementsAre("retrieveConnected", "connect:ID-UPPER"));
    EXPECT_THAT(h.takeLog(), ElementsAre("蓝牙就绪", "系统已连接: VEMLO Pro"));
}

TEST_F(DeviceLink, NotifyFirstCharacteristicsStillReachReadyWithOneRequest) {
    auto reversed = std::make_shared<FakePeripheral>(
        "ID-REV", "Vemlo R",
        std::vector<std::shared_ptr<BasicCharacteristic>>{
            std::make_shared<BasicCharacteristic>(bluetoothUuid(0x7344), kPropertyNotify),
            std::make_shared<BasicCharacteristic>("00009999-0000-1000-8000-00805f9b34fb", kPropertyRead),
            std::make_shared<BasicCharacteristic>(bluetoothUuid(0x7343), kPropertyWrite)});
    h.connect(reversed);
    EXPECT_THAT(std::vector<std::string>(h.console.end() - 2, h.console.end()),
                ElementsAre("通知通道已订阅", "命令通道就绪"));
    ASSERT_EQ(reversed->writes.size(), 1u);
    EXPECT_EQ(reversed->writes[0].type, WriteType::withResponse) << "no write-without-response property";
}

TEST_F(DeviceLink, MissingCommandCharacteristicLeavesTheLinkShortOfReady) {
    auto partial = std::make_shared<FakePeripheral>(
        "ID-P", "Vemlo P",
        std::vector<std::shared_ptr<BasicCharacteristic>>{
            std::make_shared<BasicCharacteristic>(bluetoothUuid(0x7344), kPropertyNotify)});
    h.connect(partial);
    h.queue.advance(seconds(10));
    EXPECT_TRUE(partial->writes.empty());
    h.takeLog();
    h.agent->sendState(3);
    EXPECT_THAT(h.takeLog(), ElementsAre("LED 状态 3: 未连接"));
    EXPECT_EQ(h.agent->lastSentState(), 0) << "only what the keyboard received counts";
}

TEST_F(DeviceLink, PollingStartsAfterOneSecondThenEveryOneAndAHalf) {
    ready();
    EXPECT_EQ(statusRequests(*keyboard), 1u);
    h.queue.advance(seconds(0.999));
    EXPECT_EQ(statusRequests(*keyboard), 1u);
    h.queue.advance(seconds(0.001));
    EXPECT_EQ(statusRequests(*keyboard), 2u);
    h.queue.advance(seconds(1.5));
    EXPECT_EQ(statusRequests(*keyboard), 3u);
    h.queue.advance(seconds(1.5 * 4));
    EXPECT_EQ(statusRequests(*keyboard), 7u);
}

TEST_F(DeviceLink, NoExtraPollWhileAQueryWaits) {
    ready();
    h.queue.advance(seconds(0.5));
    std::vector<std::optional<AgentDeviceStatus>> answers;
    h.agent->querySwitchState(seconds(1.5), [&](auto s) { answers.push_back(s); });
    EXPECT_EQ(statusRequests(*keyboard), 2u);
    h.queue.advance(seconds(1.0));  // the poll tick at 1.0 s finds a waiter
    EXPECT_EQ(statusRequests(*keyboard), 2u);
    EXPECT_TRUE(answers.empty());
}

TEST_F(DeviceLink, QueryWithoutKeyboardAnswersAbsentAtOnce) {
    std::vector<std::optional<AgentDeviceStatus>> answers;
    h.agent->querySwitchState(seconds(1.5), [&](auto s) { answers.push_back(s); });
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_FALSE(answers[0]);
}

TEST_F(DeviceLink, StatusFrameAnswersAllWaitersAndUpdatesEverything) {
    ready();
    h.agent->setSwitchOverride(1);
    std::vector<std::optional<AgentDeviceStatus>> answers;
    h.agent->querySwitchState(seconds(1.5), [&](auto s) { answers.push_back(s); });
    h.agent->querySwitchState(seconds(1.5), [&](auto s) { answers.push_back(s); });
    h.takeLog();
    keyboard->deliverValue(bluetoothUuid(0x7344), statusFrame(80, -70, 1, 2, 3, 3, 0));
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(answers[0], (AgentDeviceStatus{80, -70, 1, 2, 3, 3, 0}));
    EXPECT_EQ(answers[1], answers[0]);
    EXPECT_EQ(h.agent->cachedSwitchState(), 0);
    EXPECT_EQ(h.agent->cachedLightMode(), 3);
    EXPECT_FALSE(h.agent->userSwitchOverride());
    EXPECT_THAT(h.takeLog(),
                ElementsAre("← 收到真实拨杆状态 0，已清除虚拟拨杆覆盖", "← status battery=80 light=3 switch=0"));
    auto state = json::parseObject(h.liveStateText());
    ASSERT_TRUE(state);
    EXPECT_EQ((*state)["switchState"], 0);
    EXPECT_EQ((*state)["lightMode"], 3);
    EXPECT_EQ((*state)["workMode"], 3);
    EXPECT_FALSE(state->contains("stateValue"));
}

// The console gets every status line; the system log only those whose battery, light or lever differ
// from the last one it got. Other fields do not count, and other messages reach both as before.
TEST_F(DeviceLink, SystemLogGetsAStatusLineOnlyWhenItChanged) {
    ready();
    struct Frame {
        uint8_t battery;
        int8_t signal;
        uint8_t workMode;
        uint8_t light;
        uint8_t lever;
        bool journaled;
    };
    const Frame frames[] = {
        {80, -70, 1, 2, 1, true},   // the first one
        {80, -70, 1, 2, 1, false},  // the same again
        {80, -40, 3, 2, 1, false},  // signal and work mode are not shown
        {79, -40, 3, 2, 1, true},  {79, -40, 3, 4, 1, true}, {79, -40, 3, 4, 0, true},
        {79, -40, 3, 4, 0, false}, {80, -40, 3, 2, 1, true},  // back to an earlier value is a change
    };
    for (const Frame& f : frames) {
        h.systemLog.lines.clear();
        keyboard->deliverValue(bluetoothUuid(0x7344),
                               statusFrame(f.battery, f.signal, 1, 2, f.workMode, f.light, f.lever));
        const std::string line = "← status battery=" + std::to_string(f.battery) + " light=" + std::to_string(f.light) +
                                 " switch=" + std::to_string(f.lever);
        EXPECT_THAT(h.takeLog(), ElementsAre(line));
        EXPECT_EQ(h.systemLog.lines, f.journaled ? std::vector<std::string>{line} : std::vector<std::string>{}) << line;
    }
    h.agent->setSwitchOverride(0);
    h.systemLog.lines.clear();
    h.sendStatus(keyboard, 1, 2, 80);
    EXPECT_THAT(h.systemLog.lines, ElementsAre("← 收到真实拨杆状态 1，已清除虚拟拨杆覆盖"));
}

// Values that are not status frames, or that come from elsewhere, change nothing and log nothing.
TEST_F(DeviceLink, IgnoredValues) {
    ready();
    struct Case {
        const char* name;
        std::string uuid;
        std::optional<Bytes> value;
    };
    const Case cases[] = {
        {"foreign characteristic", "00002a19-0000-1000-8000-00805f9b34fb", statusFrame(1, 0, 0, 0, 0, 0, 0)},
        {"no value", bluetoothUuid(0x7344), std::nullopt},
        {"too short", bluetoothUuid(0x7344), Bytes{0xAA, 0xBB, 0x00, 0xCC, 0xDD}},
        {"state frame echo", bluetoothUuid(0x7344), Bytes{0xAA, 0xBB, 0x90, 1, 2, 3, 4, 5, 6, 7, 0xCC, 0xDD}},
        {"bad trailer", bluetoothUuid(0x7343), Bytes{0xAA, 0xBB, 0x00, 1, 2, 3, 4, 5, 6, 7, 0xCC, 0xDE}},
    };
    for (const auto& c : cases) {
        keyboard->deliverValue(c.uuid, c.value);
        EXPECT_TRUE(h.takeLog().empty()) << c.name;
        EXPECT_FALSE(h.agent->cachedSwitchState()) << c.name;
    }
    keyboard->deliverValue(bluetoothUuid(0x7343), statusFrame(1, 0, 0, 0, 0, 0, 9));
    EXPECT_EQ(h.agent->cachedSwitchState(), 9) << "a status frame on the command characteristic counts too";
}

TEST_F(DeviceLink, DisconnectAnswersWaitersBeforeItsLogLineThenReconnectsByIdentifier) {
    ready();
    h.sendStatus(keyboard, 0);
    std::vector<std::string> events;
    h.agent->onLog = [&](const std::string& line) { events.push_back("log:" + line); };
    h.agent->querySwitchState(seconds(1.5), [&](auto s) { events.push_back(s ? "status" : "absent"); });
    h.agent->querySwitchState(seconds(1.5), [&](auto s) { events.push_back(s ? "status" : "absent"); });
    h.central->known = {keyboard};
    h.central->calls.clear();
    h.central->disconnect(keyboard);
    EXPECT_THAT(events, ElementsAre("absent", "absent", "log:已断开，2s 后重连"));
    EXPECT_FALSE(h.agent->isConnected());
    EXPECT_FALSE(h.agent->cachedSwitchState());
    EXPECT_FALSE(h.agent->cachedLightMode());

    const size_t requestsBefore = statusRequests(*keyboard);
    h.queue.advance(seconds(1.99));
    EXPECT_TRUE(h.central->calls.empty());
    EXPECT_EQ(statusRequests(*keyboard), requestsBefore) << "polling stopped with the link";
    h.queue.advance(seconds(0.01));
    EXPECT_THAT(h.central->calls,
                ElementsAre("retrieve:" + keyboard->identifier(), "connect:" + keyboard->identifier()));
    EXPECT_EQ(events.back(), "log:直连已知设备: A1B2C3D4…");
}

TEST_F(DeviceLink, TwoDisconnectionsScheduleTwoReconnects) {
    ready();
    h.central->disconnect(keyboard);
    h.central->disconnect(keyboard);
    h.central->calls.clear();
    h.queue.advance(seconds(2));
    // Nothing is retrievable by identifier, nothing is system-connected: each attempt scans.
    EXPECT_THAT(h.central->calls, ElementsAre("retrieve:" + keyboard->identifier(), "retrieveConnected", "scan",
                                              "retrieve:" + keyboard->identifier(), "retrieveConnected", "scan"));
}

TEST_F(DeviceLink, LateDiscoveryAfterDisconnectDoesNotReviveTheLink) {
    h.central->setState(CentralState::poweredOn);
    h.central->discover(keyboard);
    h.central->completeConnect(keyboard);
    h.central->disconnect(keyboard);
    keyboard->deliverServices();
    keyboard->deliverCharacteristics();
    EXPECT_FALSE(h.agent->isConnected());
    EXPECT_TRUE(keyboard->writes.empty());
    EXPECT_TRUE(keyboard->characteristicDiscoveries.empty());
}

TEST_F(DeviceLink, NothingRunsAfterTheAgentIsGone) {
    ready();
    h.central->disconnect(keyboard);
    h.agent->querySwitchState(seconds(1.5), [](auto) {});
    h.agent.reset();
    h.queue.advance(seconds(60));  // reconnect, poll and time-out tasks all find no agent
    SUCCEED();
}

}  // namespace
}  // namespace vemlo::test
