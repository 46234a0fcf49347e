// The real agent on the BlueZ backend, against a fake bluetoothd on a private bus.

#include "platform/FakeBluez.h"
#include "platform/bluez/DeviceIdentifier.h"
#include "support/Process.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>

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

// Gives what must not happen 4 s to happen, well beyond the agent's reaction to what would set it
// off and its 2 s reconnect delay; true if it never did.
bool staysFalse(const std::function<bool()>& fault) { return !waitFor(fault, 4s); }

class BluezAgentTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (PrivateBus::daemonPath().empty()) GTEST_SKIP() << "dbus-daemon is not installed";
    }
    // A fresh bus (unless not started), fake bluetoothd (unless absent) and agent.
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
            folder.path(), home.path(),
            std::map<std::string, std::string>{{"VEMLO_BLUETOOTH", "bluez"},
                                               {"DBUS_SYSTEM_BUS_ADDRESS", bus->address()}});
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

TEST_F(BluezAgentTest, FindsConnectsAndPollsTheKeyboardOnEveryPath) {
    const struct {
        Args peerArgs;
        std::string agentLine, peerLine, peerNever;
        size_t failures = 0;
    } paths[] = {
        {{}, "发现: Vemlo K1", "filter [UUIDs=[00007340-0000-1000-8000-00805f9b34fb], Transport=le]", ""},
        {{}, "命令通道就绪", "write AA BB 00 CC DD [type=command]", ""},
        {{"--order=command-first"}, "通知通道已订阅", "notify on", ""},
        // Connecting and scanning come before the first status, so they would show by then.
        {{"--start=connected", "--name=VEMLO K1"}, "系统已连接: VEMLO K1", "notify on", "discovery on"},
        {{"--start=known"}, "发现: Vemlo K1", "connect", ""},
        {{"--command-flags=write,read"}, "命令通道就绪", "write AA BB 00 CC DD [type=request]", ""},
        {{"--bad-object-lists=2"}, kFailure + ": GetManagedObjects", "bad object list\nbad object list", "", 1},
    };
    for (const auto& path : paths) {
        SCOPED_TRACE(path.peerArgs.empty() ? "" : path.peerArgs.back());
        ASSERT_NO_FATAL_FAILURE(start(path.peerArgs));
        ASSERT_TRUE(logReaches(kStatusLine)) << agent->log();
        EXPECT_TRUE(inOrder(agent->log(), {path.agentLine, kStatusLine}));
        EXPECT_TRUE(peer->waitFor(path.peerLine)) << peer->output();
        if (!path.peerNever.empty()) {
            EXPECT_EQ(peer->count(path.peerNever), 0u) << peer->output();
        }
        EXPECT_EQ(agent->countInLog(kFailure), path.failures) << agent->log();
    }
}

TEST_F(BluezAgentTest, PermissionIsAnsweredWithTheKeyboardsLever) {
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_TRUE(logReaches(kStatusLine)) << agent->log();
    EXPECT_EQ(request(R"({"cmd":"permission","value":1})"), "{\"switchState\":0,\"lightMode\":2}\n");
    EXPECT_TRUE(peer->waitFor("state 1")) << peer->output();
    EXPECT_TRUE(logReaches("→ LED 状态 1: AA BB 90 01 CC DD")) << agent->log();  // the frame as the agent logs it
    peer->send("lever 2");
    EXPECT_EQ(request(R"({"cmd":"status"})"), "{\"switchState\":2,\"lightMode\":2}\n");
}

TEST_F(BluezAgentTest, RecoversWithoutRestartingTheAgent) {
    const std::string known = "直连已知设备: " + bluez::deviceIdentifier("C0:FF:EE:73:40:01").substr(0, 8) + "…";
    auto twoSteps = [&](std::function<void()> first, std::function<void()> second) {
        return [=, this] {
            first();
            ASSERT_TRUE(logReaches(kLost)) << agent->log();
            second();
        };
    };
    const struct {
        Args peerArgs;
        std::function<void()> disrupt;
        std::vector<std::string> linesAfter;  // each anew, in this order
    } cases[] = {
        {{}, [&] { peer->send("disconnect"); }, {kLost, known}},
        {{}, twoSteps([&] { peer->send("power off"); }, [&] { peer->send("power on"); }), {kLost, "蓝牙就绪"}},
        {{},
         twoSteps([&] { peer->send("drop-adapter"); }, [&] { peer->send("add-adapter"); }),
         {kLost, "蓝牙就绪", "发现"}},
        {{"--start=known"},
         twoSteps([&] { peer->kill(); }, [&] { startPeer({"--start=known"}); }),
         {kLost, "蓝牙就绪", known}},
        // bluetoothd may be dropped before the agent, so losing it and the bus come in either order.
        {{"--start=known"},
         twoSteps([&] { bus->stop(); },
                  [&] {
                      ASSERT_TRUE(logReaches("系统总线不可用，稍后自动重试") && bus->start());
                      startPeer({"--start=known"});
                  }),
         {"蓝牙就绪", known}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.linesAfter.back());
        ASSERT_NO_FATAL_FAILURE(start(c.peerArgs));
        ASSERT_TRUE(logReaches(kStatusLine)) << agent->log();
        const size_t before = agent->log().size();
        ASSERT_NO_FATAL_FAILURE(c.disrupt());
        ASSERT_TRUE(waitFor([&] { return occurrences(agent->log().substr(before), kStatusLine) > 0; }, 30s))
            << agent->log();
        EXPECT_TRUE(inOrder(agent->log().substr(before), c.linesAfter)) << agent->log();
        EXPECT_EQ(request(R"({"cmd":"status"})"), "{\"switchState\":0,\"lightMode\":2}\n");
        EXPECT_EQ(agent->countInLog(kFailure), 0u) << agent->log();
    }
}

TEST_F(BluezAgentTest, ConnectThatNeverCompletesLeavesTheSocketServing) {
    ASSERT_NO_FATAL_FAILURE(start(Args{"--connect=hang"}));
    ASSERT_TRUE(peer->waitFor("connect")) << agent->log();
    EXPECT_EQ(request(R"({"cmd":"state","value":3})"), "{\"ok\":true}\n");
    EXPECT_TRUE(logReaches("LED 状态 3: 未连接"));
    // The link stays connecting: nothing connects, disconnects or retries.
    EXPECT_TRUE(staysFalse([&] {
        return agent->countInLog("已连接") + agent->countInLog("已断开") + peer->count("connect\n") > 1;
    })) << agent->log();
    EXPECT_EQ(request(R"({"cmd":"status"})"), kNoKeyboard);
}

TEST_F(BluezAgentTest, FailedConnectIsLoggedOnceAndTriedAgain) {
    ASSERT_NO_FATAL_FAILURE(start(Args{"--connect=fail"}));
    ASSERT_TRUE(logReaches(kLost, 2)) << agent->log();
    // Never connected, so never known: the retry finds the keyboard by scanning again.
    EXPECT_TRUE(inOrder(agent->log(), {kFailure + ": Connect: org.bluez.Error.Failed: le-connection-abort-by-local",
                                       kLost, "发现: Vemlo K1", kLost}));
    EXPECT_EQ(agent->countInLog(kFailure), 1u) << agent->log();
    EXPECT_EQ(request(R"({"cmd":"status"})"), kNoKeyboard);
}

TEST_F(BluezAgentTest, StopsShortOfWhatIsNotTheKeyboard) {
    const struct {
        Args peerArgs;
        std::string reached, agentNever, peerNever;
    } cases[] = {
        {{"--no-command"}, "notify on", "命令通道就绪", "write "},                  // a status poll would write
        {{"--start=known", "--name=My Vemlo"}, "discovery on", "发现", "connect"},  // the prefix further in
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.peerArgs.back());
        ASSERT_NO_FATAL_FAILURE(start(c.peerArgs));
        ASSERT_TRUE(peer->waitFor(c.reached)) << agent->log();
        EXPECT_TRUE(staysFalse([&] { return agent->countInLog(c.agentNever) + peer->count(c.peerNever) > 0; }))
            << agent->log();
        EXPECT_EQ(request(R"({"cmd":"permission","value":1})"), kNoKeyboard);
    }
}

TEST_F(BluezAgentTest, WaitsQuietlyUntilBluetoothBecomesUsable) {
    const struct {
        std::optional<Args> peerArgs;  // absent: no bluetoothd at first
        bool busUp;
        std::function<void()> enable;
    } cases[] = {
        {std::nullopt, false,
         [&] {
             ASSERT_TRUE(bus->start());
             startPeer();
         }},
        {std::nullopt, true, [&] { startPeer(); }},
        {Args{"--adapter=off"}, true, [&] { peer->send("power on"); }},
        {Args{"--adapter=none"}, true, [&] { peer->send("add-adapter"); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.peerArgs ? c.peerArgs->back() : c.busUp ? "no bluetoothd" : "no bus");
        ASSERT_NO_FATAL_FAILURE(start(c.peerArgs, c.busUp));
        if (peer) {
            ASSERT_TRUE(peer->waitFor("objects"));
        }
        EXPECT_EQ(request(R"({"cmd":"status"})"), kNoKeyboard);
        EXPECT_TRUE(staysFalse([&] { return agent->countInLog("蓝牙就绪") > 0; })) << agent->log();
        ASSERT_NO_FATAL_FAILURE(c.enable());
        EXPECT_TRUE(logReaches(kStatusLine)) << agent->log();
        EXPECT_EQ(agent->countInLog(kFailure), 0u) << agent->log();
        // An unreachable bus is logged once, however often it is retried meanwhile.
        EXPECT_EQ(agent->countInLog("系统总线不可用"), c.busUp ? 0u : 1u) << agent->log();
    }
}

}  // namespace
}  // namespace vemlo::test
