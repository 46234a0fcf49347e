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

const std::string kStatusLine = "← status battery=87 light=2 switch=0";
const std::string kServiceUuid = "00007340-0000-1000-8000-00805f9b34fb";

bool hasLine(const std::string& output, const std::string& line) {
    return ("\n" + output).find("\n" + line + "\n") != std::string::npos;
}

// Each line occurs in the log after the previous one.
::testing::AssertionResult inOrder(const std::string& log, const std::vector<std::string>& lines) {
    size_t pos = 0;
    for (const auto& line : lines) {
        auto found = log.find(line, pos);
        if (found == std::string::npos)
            return ::testing::AssertionFailure() << "\"" << line << "\" not in order in:\n" << log;
        pos = found + line.size();
    }
    return ::testing::AssertionSuccess();
}

class BluezAgentTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (PrivateBus::daemonPath().empty()) GTEST_SKIP() << "dbus-daemon is not installed";
        bus = std::make_unique<PrivateBus>(folder.path());
    }

    void startPeer(const std::vector<std::string>& args = {}) {
        peer = std::make_unique<FakeBluezPeer>(folder.path(), bus->address(), args);
        ASSERT_TRUE(peer->ready()) << peer->output();
    }
    void startAgent() {
        agent = std::make_unique<AgentProcess>(
            folder.path(), home.path(),
            std::map<std::string, std::string>{{"VEMLO_BLUETOOTH", "bluez"},
                                               {"DBUS_SYSTEM_BUS_ADDRESS", bus->address()}});
        ASSERT_TRUE(agent->running());
    }
    // Bus, fake bluetoothd and agent, up to a connected keyboard.
    void startReady(const std::vector<std::string>& peerArgs = {}) {
        ASSERT_TRUE(bus->start());
        ASSERT_NO_FATAL_FAILURE(startPeer(peerArgs));
        ASSERT_NO_FATAL_FAILURE(startAgent());
        ASSERT_TRUE(logReaches(kStatusLine)) << agent->log();
    }
    bool logReaches(const std::string& text, size_t times = 1, std::chrono::milliseconds timeout = 30s) {
        return waitFor([&] { return agent->countInLog(text) >= times; }, timeout);
    }
    std::optional<std::string> request(const std::string& json) {
        return socketRequest(agent->socketPath(), json + "\n");
    }

    TempDir folder;
    TempDir home;
    std::unique_ptr<PrivateBus> bus;
    std::unique_ptr<FakeBluezPeer> peer;
    std::unique_ptr<AgentProcess> agent;
};

struct ConnectPath {
    const char* name;
    std::vector<std::string> peerArgs;
    std::vector<std::string> agentLines;  // in this order
    std::vector<std::string> peerLines;
    std::vector<std::string> peerNever;
};

TEST_F(BluezAgentTest, FindsConnectsAndPollsTheKeyboardOnEveryPath) {
    const std::string filter = "filter UUIDs=" + kServiceUuid + " Transport=le";
    const ConnectPath paths[] = {
        {"scan, notify characteristic listed first",
         {},
         {"蓝牙就绪", "开始扫描…", "发现: Vemlo K1", "已连接: Vemlo K1", "通知通道已订阅", "命令通道就绪", kStatusLine},
         {filter, "discovery on", "discovery off", "connect", "notify on", "write AA BB 00 CC DD command"},
         {}},
        {"command characteristic listed first",
         {"--order=command-first"},
         {"蓝牙就绪", "开始扫描…", "发现: Vemlo K1", "已连接: Vemlo K1", "命令通道就绪", "通知通道已订阅", kStatusLine},
         {"notify on", "write AA BB 00 CC DD command"},
         {}},
        {"connected by the system, name in capitals",
         {"--start=connected", "--name=VEMLO K1"},
         {"蓝牙就绪", "系统已连接: VEMLO K1", "已连接: VEMLO K1", "通知通道已订阅", "命令通道就绪", kStatusLine},
         {"notify on", "write AA BB 00 CC DD command"},
         {"connect", "discovery on"}},
        {"known device that advertises during the scan",
         {"--start=known"},
         {"蓝牙就绪", "开始扫描…", "发现: Vemlo K1", "已连接: Vemlo K1", kStatusLine},
         {"discovery on", "connect"},
         {}},
        {"command characteristic without write-without-response",
         {"--command-flags=write,read"},
         {"命令通道就绪", kStatusLine},
         {"write AA BB 00 CC DD request"},
         {"write AA BB 00 CC DD command"}},
        {"malformed values before every status frame",
         {"--garbage"},
         {"通知通道已订阅", "命令通道就绪", kStatusLine},
         {"write AA BB 00 CC DD command"},
         {}},
    };
    for (const auto& path : paths) {
        SCOPED_TRACE(path.name);
        TempDir caseFolder;
        TempDir caseHome;
        PrivateBus caseBus(caseFolder.path());
        ASSERT_TRUE(caseBus.start());
        FakeBluezPeer casePeer(caseFolder.path(), caseBus.address(), path.peerArgs);
        ASSERT_TRUE(casePeer.ready());
        AgentProcess caseAgent(caseFolder.path(), caseHome.path(),
                               {{"VEMLO_BLUETOOTH", "bluez"}, {"DBUS_SYSTEM_BUS_ADDRESS", caseBus.address()}});
        ASSERT_TRUE(waitFor([&] { return caseAgent.countInLog(path.agentLines.back()) > 0; }, 30s)) << caseAgent.log();
        EXPECT_TRUE(inOrder(caseAgent.log(), path.agentLines));
        for (const auto& line : path.peerLines)
            EXPECT_TRUE(waitFor([&] { return hasLine(casePeer.output(), line); }, 10s)) << line << "\n"
                                                                                        << casePeer.output();
        for (const auto& line : path.peerNever) EXPECT_FALSE(hasLine(casePeer.output(), line)) << line;
        EXPECT_EQ(caseAgent.countInLog("BlueZ 调用失败"), 0u) << caseAgent.log();
    }
}

TEST_F(BluezAgentTest, PermissionIsAnsweredWithTheKeyboardsLever) {
    ASSERT_NO_FATAL_FAILURE(startReady({"--lever=0"}));

    EXPECT_EQ(request(R"({"cmd":"permission","value":1})"), "{\"switchState\":0,\"lightMode\":2}\n");
    EXPECT_TRUE(peer->waitFor("state 1")) << peer->output();
    EXPECT_TRUE(logReaches("← permission 回包 switchState=Optional(0)"));

    peer->send("lever 2");
    EXPECT_EQ(request(R"({"cmd":"status"})"), "{\"switchState\":2,\"lightMode\":2}\n");
}

struct Recovery {
    const char* name;
    std::vector<std::string> peerArgs;
    std::function<void()> disrupt;
    std::vector<std::string> linesAfter;  // each appears anew, in this order
};

TEST_F(BluezAgentTest, RecoversWithoutRestartingTheAgent) {
    const std::string knownDevice = "直连已知设备: " + bluez::deviceIdentifier("C0:FF:EE:73:40:01").substr(0, 8) + "…";
    const Recovery cases[] = {
        {"keyboard disconnects",
         {},
         [this] { peer->send("disconnect"); },
         {"已断开，2s 后重连", knownDevice, "已连接: Vemlo K1", "命令通道就绪", kStatusLine}},
        {"adapter powered off and on",
         {},
         [this] {
             peer->send("power off");
             ASSERT_TRUE(logReaches("已断开，2s 后重连")) << agent->log();
             peer->send("power on");
         },
         {"已断开，2s 后重连", "蓝牙就绪", "已连接: Vemlo K1", "命令通道就绪", kStatusLine}},
        {"adapter removed and added again",
         {},
         [this] {
             peer->send("drop-adapter");
             ASSERT_TRUE(logReaches("已断开，2s 后重连")) << agent->log();
             peer->send("add-adapter");
         },
         {"已断开，2s 后重连", "蓝牙就绪", "发现: Vemlo K1", "已连接: Vemlo K1", kStatusLine}},
        {"bluetoothd restarts",
         {"--start=known"},
         [this] {
             peer->kill();
             ASSERT_TRUE(logReaches("已断开，2s 后重连")) << agent->log();
             startPeer({"--start=known"});
         },
         {"已断开，2s 后重连", "蓝牙就绪", knownDevice, "已连接: Vemlo K1", "命令通道就绪", kStatusLine}},
        {"system bus restarts",
         {"--start=known"},
         [this] {
             bus->stop();
             // A stopping dbus-daemon drops its clients one at a time: when bluetoothd goes first, the
             // agent hears that before losing the bus itself, so these two lines come in either order.
             ASSERT_TRUE(logReaches("已断开，2s 后重连")) << agent->log();
             ASSERT_TRUE(logReaches("系统总线不可用，稍后自动重试")) << agent->log();
             ASSERT_TRUE(bus->start());
             startPeer({"--start=known"});
         },
         {"已断开，2s 后重连", "蓝牙就绪", knownDevice, "已连接: Vemlo K1", kStatusLine}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        agent.reset();
        peer.reset();
        bus.reset();
        bus = std::make_unique<PrivateBus>(folder.path());
        ASSERT_NO_FATAL_FAILURE(startReady(c.peerArgs));
        const size_t before = agent->log().size();

        ASSERT_NO_FATAL_FAILURE(c.disrupt());
        ASSERT_TRUE(logReaches("已连接: Vemlo K1", 2)) << agent->log();
        ASSERT_TRUE(waitFor([&] { return occurrences(agent->log().substr(before), kStatusLine) > 0; }, 30s))
            << agent->log();
        EXPECT_TRUE(inOrder(agent->log().substr(before), c.linesAfter));
        EXPECT_EQ(request(R"({"cmd":"status"})"), "{\"switchState\":0,\"lightMode\":2}\n");
        EXPECT_EQ(agent->countInLog("BlueZ 调用失败"), 0u) << agent->log();
    }
}

TEST_F(BluezAgentTest, ConnectThatNeverCompletesLeavesTheSocketServing) {
    ASSERT_TRUE(bus->start());
    ASSERT_NO_FATAL_FAILURE(startPeer({"--connect=hang"}));
    ASSERT_NO_FATAL_FAILURE(startAgent());
    ASSERT_TRUE(logReaches("发现: Vemlo K1")) << agent->log();
    ASSERT_TRUE(peer->waitFor("connect"));

    EXPECT_EQ(request(R"({"cmd":"status"})"), "{\"switchState\":null,\"lightMode\":null}\n");
    EXPECT_EQ(request(R"({"cmd":"state","value":3})"), "{\"ok\":true}\n");
    EXPECT_TRUE(logReaches("LED 状态 3: 未连接"));
    // The link stays connecting: nothing connects, disconnects or retries.
    EXPECT_EQ(agent->countInLog("已连接"), 0u) << agent->log();
    EXPECT_EQ(agent->countInLog("已断开"), 0u) << agent->log();
    EXPECT_EQ(peer->count("connect\n"), 1u);
}

TEST_F(BluezAgentTest, FailedConnectIsLoggedOnceAndTriedAgain) {
    ASSERT_TRUE(bus->start());
    ASSERT_NO_FATAL_FAILURE(startPeer({"--connect=fail"}));
    ASSERT_NO_FATAL_FAILURE(startAgent());
    ASSERT_TRUE(logReaches("已断开，2s 后重连", 2)) << agent->log();

    // Never connected, so never known: the retry finds the keyboard by scanning again.
    EXPECT_TRUE(inOrder(agent->log(), {"发现: Vemlo K1",
                                       "BlueZ 调用失败: Connect: org.bluez.Error.Failed: le-connection-abort-by-local",
                                       "已断开，2s 后重连", "发现: Vemlo K1", "已断开，2s 后重连"}));
    EXPECT_GE(peer->count("connect\n"), 2u);
    EXPECT_EQ(agent->countInLog("BlueZ 调用失败"), 1u) << agent->log();
    EXPECT_EQ(request(R"({"cmd":"status"})"), "{\"switchState\":null,\"lightMode\":null}\n");
}

TEST_F(BluezAgentTest, MissingCommandCharacteristicStopsShortOfReady) {
    ASSERT_TRUE(bus->start());
    ASSERT_NO_FATAL_FAILURE(startPeer({"--no-command"}));
    ASSERT_NO_FATAL_FAILURE(startAgent());
    ASSERT_TRUE(logReaches("通知通道已订阅")) << agent->log();

    EXPECT_EQ(request(R"({"cmd":"permission","value":1})"), "{\"switchState\":null,\"lightMode\":null}\n");
    EXPECT_EQ(agent->countInLog("命令通道就绪"), 0u);
    EXPECT_EQ(peer->count("write "), 0u) << peer->output();
}

struct PowerSource {
    const char* name;
    std::optional<std::vector<std::string>> peerArgs;  // absent: no bluetoothd at first
    std::function<void()> enable;
};

TEST_F(BluezAgentTest, WaitsQuietlyUntilBluetoothBecomesUsable) {
    const PowerSource cases[] = {
        {"bluetoothd not running yet", std::nullopt, [this] { startPeer(); }},
        {"adapter powered off", std::vector<std::string>{"--adapter=off"}, [this] { peer->send("power on"); }},
        {"no adapter yet", std::vector<std::string>{"--adapter=none"}, [this] { peer->send("add-adapter"); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        agent.reset();
        peer.reset();
        bus.reset();
        bus = std::make_unique<PrivateBus>(folder.path());
        ASSERT_TRUE(bus->start());
        if (c.peerArgs) {
            ASSERT_NO_FATAL_FAILURE(startPeer(*c.peerArgs));
        }
        ASSERT_NO_FATAL_FAILURE(startAgent());

        // Not usable yet, and the socket answers meanwhile.
        EXPECT_EQ(request(R"({"cmd":"status"})"), "{\"switchState\":null,\"lightMode\":null}\n");
        EXPECT_EQ(agent->countInLog("蓝牙就绪"), 0u) << agent->log();

        ASSERT_NO_FATAL_FAILURE(c.enable());
        EXPECT_TRUE(logReaches(kStatusLine)) << agent->log();
        EXPECT_EQ(agent->countInLog("BlueZ 调用失败"), 0u) << agent->log();
    }
}

TEST_F(BluezAgentTest, MalformedObjectListIsLoggedOnceAndAskedForAgain) {
    ASSERT_TRUE(bus->start());
    ASSERT_NO_FATAL_FAILURE(startPeer({"--bad-object-lists=2"}));
    ASSERT_NO_FATAL_FAILURE(startAgent());
    EXPECT_TRUE(logReaches(kStatusLine)) << agent->log();
    EXPECT_EQ(peer->count("bad object list"), 2u);
    EXPECT_EQ(agent->countInLog("BlueZ 调用失败: GetManagedObjects"), 1u) << agent->log();
}

TEST_F(BluezAgentTest, UnreachableBusIsLoggedOnceAndRetried) {
    ASSERT_NO_FATAL_FAILURE(startAgent());
    ASSERT_TRUE(logReaches("系统总线不可用，稍后自动重试")) << agent->log();
    EXPECT_EQ(request(R"({"cmd":"status"})"), "{\"switchState\":null,\"lightMode\":null}\n");

    ASSERT_TRUE(bus->start());
    ASSERT_NO_FATAL_FAILURE(startPeer());
    EXPECT_TRUE(logReaches(kStatusLine)) << agent->log();
    EXPECT_EQ(agent->countInLog("系统总线不可用"), 1u) << agent->log();
}

TEST_F(BluezAgentTest, PrefixOnlyFurtherInTheNameIsNotTheKeyboard) {
    ASSERT_TRUE(bus->start());
    ASSERT_NO_FATAL_FAILURE(startPeer({"--start=known", "--name=My Vemlo"}));
    ASSERT_NO_FATAL_FAILURE(startAgent());
    ASSERT_TRUE(logReaches("开始扫描…")) << agent->log();
    ASSERT_TRUE(peer->waitFor("discovery on"));

    EXPECT_EQ(request(R"({"cmd":"status"})"), "{\"switchState\":null,\"lightMode\":null}\n");
    EXPECT_EQ(agent->countInLog("系统已连接"), 0u) << agent->log();
    EXPECT_EQ(agent->countInLog("发现"), 0u) << agent->log();
    EXPECT_FALSE(hasLine(peer->output(), "discovery off"));
}

}  // namespace
}  // namespace vemlo::test
