// The real agent on the BlueZ backend, against a fake bluetoothd on a private bus.

#include "platform/AsioMainQueue.h"
#include "platform/FakeBluez.h"
#include "platform/bluez/BluezCentral.h"
#include "platform/bluez/DeviceIdentifier.h"
#include "support/Process.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <ranges>

namespace vemlo::test {
namespace {

using Args = std::vector<std::string>;
const std::string kStatusLine = "← status battery=87 light=2 switch=0";
const std::string kNoKeyboard = "{\"switchState\":null,\"lightMode\":null}\n";
const std::string kFailure = "BlueZ 调用失败";
const std::string kLost = "已断开，2s 后重连";

// Each line occurs in the log after the previous one.
::testing::AssertionResult inOrder(const std::string& log, const std::vector<std::string>& lines) {
    size_t pos = 0;
    for (const auto& line : lines)
        if ((pos = log.find(line, pos)) == std::string::npos)
            return ::testing::AssertionFailure() << line << " not in order";
    return ::testing::AssertionSuccess();
}

// A bus, fake bluetoothd and agent of their own.
struct Rig {
    // Fresh ones: the bus unless not started, the fake bluetoothd unless absent.
    void start(std::optional<Args> peerArgs = Args{}, bool startBus = true) {
        agent.reset();
        peer.reset();
        bus = std::make_unique<PrivateBus>(folder.path());
        if (startBus) {
            ASSERT_TRUE(bus->start());
        }
        if (peerArgs) {
            ASSERT_NO_FATAL_FAILURE(startPeer(*peerArgs));
        }
        agent = std::make_unique<AgentProcess>(
            folder.path(), home.path(), Env{{"VEMLO_BLUETOOTH", "bluez"}, {"DBUS_SYSTEM_BUS_ADDRESS", bus->address()}});
    }
    void startPeer(const Args& args = {}) {
        peer = std::make_unique<FakeBluezPeer>(folder.path(), bus->address(), args);
        ASSERT_TRUE(peer->ready()) << peer->output();
    }
    bool logReaches(const std::string& text, size_t times = 1) {
        return waitFor([&] { return agent->countInLog(text) >= times; }, 30s);
    }
    std::optional<std::string> request(const std::string& json) {
        return socketRequest(agent->socketPath(), json + "\n");
    }

    TempDir folder, home;
    std::unique_ptr<PrivateBus> bus;
    std::unique_ptr<FakeBluezPeer> peer;
    std::unique_ptr<AgentProcess> agent;
};

class BluezAgentTest : public ::testing::Test, public Rig {
protected:
    void SetUp() override {
        if (PrivateBus::daemonPath().empty()) GTEST_SKIP() << "dbus-daemon is not installed";
    }
};

TEST_F(BluezAgentTest, FindsConnectsAndPollsTheKeyboardOnEveryPathAndAnswersWithIt) {
    const struct {
        Args peerArgs;
        Args agentLines, peerLines;  // each agent line before the first status
        bool scans;
        size_t failures = 0;
    } paths[] = {
        // The adapter by name, though bluetoothd lists the other one first.
        {{"--second-adapter"},
         {"发现: Vemlo K1", "命令通道就绪"},
         {"filter [UUIDs=[00007340-0000-1000-8000-00805f9b34fb], Transport=le]",
          "write AA BB 00 CC DD [type=command]"},
         true},
        {{"--start=connected", "--name=VEMLO K1"}, {"系统已连接: VEMLO K1"}, {"notify on"}, false},
        {{"--request", "--bad-object-lists=2"},
         {"通知通道已订阅", "命令通道就绪", kFailure + ": GetManagedObjects"},
         {"notify on", "write AA BB 00 CC DD [type=request]", "bad object list\nbad object list"},
         true,
         1},
    };
    for (const auto& path : paths) {
        SCOPED_TRACE(path.agentLines.back());
        ASSERT_NO_FATAL_FAILURE(start(path.peerArgs));
        ASSERT_TRUE(logReaches(kStatusLine)) << agent->log();
        for (const auto& line : path.agentLines) EXPECT_TRUE(inOrder(agent->log(), {line, kStatusLine}));
        for (const auto& line : path.peerLines) EXPECT_TRUE(peer->waitFor(line)) << peer->output();
        EXPECT_EQ(agent->countInLog(kFailure), path.failures) << agent->log();
        EXPECT_EQ(peer->count("discovery on") > 0, path.scans) << peer->output();
        // The first status request waits for notifications to be on, and nothing goes to hci1.
        EXPECT_EQ(peer->count("unanswered") + peer->count(" hci1"), 0u) << peer->output();
    }
    // Permission is answered with the keyboard's lever, and its LED told; the status request after
    // the LED frame waits for that write to be answered instead of being refused.
    EXPECT_EQ(request(R"({"cmd":"permission","value":1})"), "{\"switchState\":0,\"lightMode\":2}\n");
    EXPECT_TRUE(peer->waitFor("state 1")) << peer->output();
    peer->send("lever 2");
    EXPECT_EQ(request(R"({"cmd":"status"})"), "{\"switchState\":2,\"lightMode\":2}\n");
    EXPECT_EQ(peer->count("refused"), 0u) << peer->output();
    EXPECT_EQ(agent->countInLog(kFailure), 1u) << agent->log();
}

TEST_F(BluezAgentTest, RecoversWithoutRestartingTheAgent) {
    const std::string known = "直连已知设备: " + bluez::deviceIdentifier("C0:FF:EE:73:40:01").substr(0, 8) + "…";
    auto send = [&](const char* command) { return [&, command] { peer->send(command); }; };
    auto restartWith = [&](Args args) { return [&, args] { startPeer(args); }; };
    auto restart = restartWith({"--start=known"});
    auto kill = [&] { peer->kill(); };
    auto logged = [&](const std::string& line, size_t times) {
        return [&, line, times] { ASSERT_TRUE(logReaches(line, times)) << agent->log(); };
    };
    const struct {
        Args peerArgs;
        std::vector<std::function<void()>> steps;  // the loss logged before each next one
        Args linesAfter;                           // each anew, in this order
        std::string never = "";                    // not logged after the first step
    } cases[] = {
        {{}, {send("disconnect")}, {kLost, known}},
        {{}, {send("power off"), send("power on")}, {kLost, "蓝牙就绪"}},
        // The keyboard's adapter off and another on: the link waits for power instead of failing.
        {{"--second-adapter"}, {send("power off"), logged(known, 1), send("power on")}, {kLost, known, "蓝牙就绪"}},
        {{}, {send("drop-adapter"), send("add-adapter")}, {kLost, "蓝牙就绪", "发现"}},
        {{"--start=known"}, {kill, restart}, {kLost, "蓝牙就绪", known}},
        // bluetoothd comes back and restores the keyboard from its storage: not a scan result.
        {{"--start=known"},
         {kill, logged("开始扫描…", 2), restartWith({"--start=known", "--adapter=none"}), send("add-adapter")},
         {kLost, "蓝牙就绪", known},
         "发现"},
        // It comes back without the keyboard and announces the other adapter first: the scan stays on
        // the keyboard's adapter.
        {{}, {kill, restartWith({"--second-adapter", "--adapter=none"}), send("add-adapter")}, {kLost, "蓝牙就绪", "发现"}},
        // bluetoothd may be dropped before the agent, so losing it and the bus come in either order.
        {{"--start=known"},
         {[&] { bus->stop(); }, [&] { ASSERT_TRUE(logReaches("系统总线不可用，稍后自动重试") && bus->start()); },
          restart},
         {"蓝牙就绪", known}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.linesAfter.back());
        ASSERT_NO_FATAL_FAILURE(start(c.peerArgs));
        ASSERT_TRUE(logReaches(kStatusLine)) << agent->log();
        const size_t before = agent->log().size();
        for (size_t i = 0; i < c.steps.size(); ++i) {
            ASSERT_TRUE(i == 0 || logReaches(kLost)) << agent->log();
            ASSERT_NO_FATAL_FAILURE(c.steps[i]());
        }
        ASSERT_TRUE(waitFor([&] { return occurrences(agent->log().substr(before), kStatusLine) > 0; }, 30s))
            << agent->log();
        EXPECT_TRUE(inOrder(agent->log().substr(before), c.linesAfter)) << agent->log();
        EXPECT_TRUE(c.never.empty() || agent->log().find(c.never, before) == std::string::npos) << agent->log();
        EXPECT_EQ(request(R"({"cmd":"status"})"), "{\"switchState\":0,\"lightMode\":2}\n");
        EXPECT_EQ(agent->countInLog(kFailure), 0u) << agent->log();
    }
}

TEST_F(BluezAgentTest, FailedConnectIsLoggedOnceAndTriedAgain) {
    ASSERT_NO_FATAL_FAILURE(start(Args{"--connect=fail"}));
    ASSERT_TRUE(logReaches(kLost, 2)) << agent->log();
    // Never connected, so never known: the retry finds the keyboard by scanning again.
    EXPECT_TRUE(inOrder(agent->log(), {kFailure + ": Connect: org.bluez.Error.Failed: le-connection-abort-by-local",
                                       kLost, "发现: Vemlo K1", kLost}));
    EXPECT_EQ(agent->countInLog(kFailure), 1u) << agent->log();
    EXPECT_EQ(request(R"({"cmd":"status"})"), kNoKeyboard);
    // A success ends the failure, though bluetoothd reports Connected before it answers; the next
    // failure is logged again.
    peer->send("connect ok");
    ASSERT_TRUE(logReaches(kStatusLine)) << agent->log();
    peer->send("connect fail");
    peer->send("disconnect");
    EXPECT_TRUE(logReaches(kFailure, 2)) << agent->log();
}

// Side by side, so that one wait serves them all: each agent stops where its bluetoothd leaves it,
// without a keyboard to answer for, and where Bluetooth becomes usable goes on from there.
TEST_F(BluezAgentTest, StopsShortOfWhatIsNotThereOrNotTheKeyboard) {
    const struct {
        std::optional<Args> peerArgs;  // absent: no bus either at first
        std::string reached, agentNever, peerNever;
        size_t peerAllowed = 0;
        std::function<void(Rig&)> enable = nullptr;
    } cases[] = {
        {Args{"--no-command"}, "notify on", "命令通道就绪", "write "},                  // a status poll would write
        {Args{"--start=known", "--name=My Vemlo"}, "discovery on", "发现", "connect"},  // the prefix further in
        {Args{"--connect=hang"}, "connect", "已连接", "connect\n", 1},                  // neither connects nor retries
        {Args{"--adapter=off"}, "objects", "蓝牙就绪", "discovery", 0, [](Rig& r) { r.peer->send("power on"); }},
        {Args{"--adapter=none"}, "objects", "蓝牙就绪", "discovery", 0, [](Rig& r) { r.peer->send("add-adapter"); }},
        {std::nullopt, "", "蓝牙就绪", "", 0, [](Rig& r) { r.bus->start() ? r.startPeer() : void(); }},
    };
    std::vector<std::unique_ptr<Rig>> rigs;
    for (const auto& c : cases) {
        Rig& r = *rigs.emplace_back(std::make_unique<Rig>());
        ASSERT_NO_FATAL_FAILURE(r.start(c.peerArgs, c.peerArgs.has_value()));
        ASSERT_TRUE(c.reached.empty() || r.peer->waitFor(c.reached)) << r.agent->log();
    }
    auto fault = [&](size_t i) {
        const Rig& r = *rigs[i];
        return r.agent->countInLog(cases[i].agentNever) + (r.peer ? r.peer->count(cases[i].peerNever) : 0) >
               cases[i].peerAllowed;
    };
    // 4 s, well beyond the agent's reaction to what would set it off and its 2 s reconnect delay.
    EXPECT_FALSE(waitFor([&] { return std::ranges::any_of(std::views::iota(0u, rigs.size()), fault); }, 4s));
    for (size_t i = 0; i < rigs.size(); ++i) {
        SCOPED_TRACE(i);
        Rig& r = *rigs[i];
        EXPECT_FALSE(fault(i)) << r.agent->log();
        EXPECT_EQ(r.request(R"({"cmd":"permission","value":1})"), kNoKeyboard) << r.agent->log();
        if (!cases[i].enable) continue;
        ASSERT_NO_FATAL_FAILURE(cases[i].enable(r));
        EXPECT_TRUE(r.logReaches(kStatusLine)) << r.agent->log();
        EXPECT_EQ(r.agent->countInLog(kFailure), 0u) << r.agent->log();
        // An unreachable bus is logged once, however often it is retried meanwhile.
        EXPECT_EQ(r.agent->countInLog("系统总线不可用"), cases[i].peerArgs ? 0u : 1u) << r.agent->log();
    }
}

// The agent takes the system bus; a central can be given another by its address.
TEST_F(BluezAgentTest, CentralOnABusGivenByAddressSeesThePoweredAdapter) {
    struct : CentralDelegate {
        void centralDidUpdateState() override {}
        void didDiscover(std::shared_ptr<Peripheral>, const std::optional<std::string>&) override {}
        void didConnect(std::shared_ptr<Peripheral>) override {}
        void didDisconnect(std::shared_ptr<Peripheral>) override {}
    } delegate;
    ASSERT_NO_FATAL_FAILURE(start());  // the agent on the same bus, beside this central
    AsioMainQueue queue;
    BluezCentral central(queue, delegate, {bus->address(), 3s, nullptr});
    EXPECT_TRUE(waitFor([&] { return queue.context().run_for(5ms), central.state() == CentralState::poweredOn; }, 30s));
}

}  // namespace
}  // namespace vemlo::test
