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
const std::string kNoKeyboard = "{\"switchState\":null,\"lightMode\":null}\n";
const std::string kFailure = "BlueZ 调用失败";
// How long something that must not happen is given to happen: far beyond the agent's reaction to
// what would set it off, and beyond its 2 s reconnect delay.
constexpr auto kQuiet = 4s;

// Each line occurs in the log after the previous one.
::testing::AssertionResult inOrder(const std::string& log, const std::vector<std::string>& lines) {
    size_t pos = 0;
    for (const auto& line : lines) {
        pos = log.find(line, pos);
        if (pos == std::string::npos) return ::testing::AssertionFailure() << "\"" << line << "\" not in order in:\n" << log;
    }
    return ::testing::AssertionSuccess();
}

class BluezAgentTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (PrivateBus::daemonPath().empty()) GTEST_SKIP() << "dbus-daemon is not installed";
    }
    // A fresh bus (started unless told otherwise), fake bluetoothd (unless absent) and agent.
    void start(std::optional<std::vector<std::string>> peerArgs = std::vector<std::string>{}, bool startBus = true) {
        agent.reset();
        peer.reset();
        bus = std::make_unique<PrivateBus>(folder.path());
        if (startBus) { ASSERT_TRUE(bus->start()); }
        if (peerArgs) { ASSERT_NO_FATAL_FAILURE(startPeer(*peerArgs)); }
        agent = std::make_unique<AgentProcess>(
            folder.path(), home.path(),
            std::map<std::string, std::string>{{"VEMLO_BLUETOOTH", "bluez"}, {"DBUS_SYSTEM_BUS_ADDRESS", bus->address()}});
        ASSERT_TRUE(agent->running());
    }
    void startPeer(const std::vector<std::string>& args = {}) {
        peer = std::make_unique<FakeBluezPeer>(folder.path(), bus->address(), args);
        ASSERT_TRUE(peer->ready()) << peer->output();
    }
    bool logReaches(const std::string& text, size_t times = 1) {
        return waitFor([&] { return agent->countInLog(text) >= times; }, 30s);
    }
    // Waits out kQuiet for `fault`; true if it never came.
    static bool staysFalse(const std::function<bool()>& fault) { return !waitFor(fault, kQuiet); }
    std::optional<std::string> request(const std::string& json) { return socketRequest(agent->socketPath(), json + "\n"); }

    TempDir folder;
    TempDir home;
    std::unique_ptr<PrivateBus> bus;
    std::unique_ptr<FakeBluezPeer> peer;
    std::unique_ptr<AgentProcess> agent;
};

TEST_F(BluezAgentTest, FindsConnectsAndPollsTheKeyboardOnEveryPath) {
    const struct {
        const char* name;
        std::vector<std::string> peerArgs;
        std::string agentLine, peerLine, peerNever;
    } paths[] = {
        {"scan", {}, "发现: Vemlo K1", "filter [UUIDs=[00007340-0000-1000-8000-00805f9b34fb], Transport=le]", ""},
        {"command characteristic listed first", {"--order=command-first"}, "通知通道已订阅", "notify on", ""},
        {"connected by the system, name in capitals", {"--start=connected", "--name=VEMLO K1"}, "系统已连接: VEMLO K1",
         "notify on", "discovery on"},
        {"known device that advertises during the scan", {"--start=known"}, "发现: Vemlo K1", "connect", ""},
        {"no write-without-response", {"--command-flags=write,read"}, "命令通道就绪",
         "write AA BB 00 CC DD [type=request]", ""},
        {"malformed values before every status frame", {"--garbage"}, "命令通道就绪",
         "write AA BB 00 CC DD [type=command]", ""},
    };
    for (const auto& path : paths) {
        SCOPED_TRACE(path.name);
        ASSERT_NO_FATAL_FAILURE(start(path.peerArgs));
        ASSERT_TRUE(logReaches(kStatusLine)) << agent->log();
        EXPECT_TRUE(inOrder(agent->log(), {path.agentLine, kStatusLine}));
        EXPECT_TRUE(peer->waitFor(path.peerLine)) << peer->output();
        // Connecting and scanning come before the first status, so they would show by now.
        if (!path.peerNever.empty()) { EXPECT_EQ(peer->count(path.peerNever), 0u) << peer->output(); }
        EXPECT_EQ(agent->countInLog(kFailure), 0u) << agent->log();
    }
}

TEST_F(BluezAgentTest, PermissionIsAnsweredWithTheKeyboardsLever) {
    ASSERT_NO_FATAL_FAILURE(start(std::vector<std::string>{"--lever=0"}));
    ASSERT_TRUE(logReaches(kStatusLine)) << agent->log();
    EXPECT_EQ(request(R"({"cmd":"permission","value":1})"), "{\"switchState\":0,\"lightMode\":2}\n");
    EXPECT_TRUE(peer->waitFor("state 1")) << peer->output();
    peer->send("lever 2");
    EXPECT_EQ(request(R"({"cmd":"status"})"), "{\"switchState\":2,\"lightMode\":2}\n");
}

TEST_F(BluezAgentTest, RecoversWithoutRestartingTheAgent) {
    const std::string known = "直连已知设备: " + bluez::deviceIdentifier("C0:FF:EE:73:40:01").substr(0, 8) + "…";
    const std::string lost = "已断开，2s 后重连";
    const struct {
        const char* name;
        std::vector<std::string> peerArgs;
        std::function<void()> disrupt;
        std::vector<std::string> linesAfter;  // each anew, in this order
    } cases[] = {
        {"keyboard disconnects", {}, [&] { peer->send("disconnect"); }, {lost, known}},
        {"adapter powered off and on", {}, [&] {
             peer->send("power off");
             ASSERT_TRUE(logReaches(lost));
             peer->send("power on");
         }, {lost, "蓝牙就绪"}},
        {"adapter removed and added again", {}, [&] {
             peer->send("drop-adapter");
             ASSERT_TRUE(logReaches(lost));
             peer->send("add-adapter");
         }, {lost, "蓝牙就绪", "发现: Vemlo K1"}},
        {"bluetoothd restarts", {"--start=known"}, [&] {
             peer->kill();
             ASSERT_TRUE(logReaches(lost));
             startPeer({"--start=known"});
         }, {lost, "蓝牙就绪", known}},
        {"system bus restarts", {"--start=known"}, [&] {
             bus->stop();
             // bluetoothd may be dropped before the agent, so these two come in either order.
             ASSERT_TRUE(logReaches(lost) && logReaches("系统总线不可用，稍后自动重试")) << agent->log();
             ASSERT_TRUE(bus->start());
             startPeer({"--start=known"});
         }, {"蓝牙就绪", known}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NO_FATAL_FAILURE(start(c.peerArgs));
        ASSERT_TRUE(logReaches(kStatusLine)) << agent->log();
        const size_t before = agent->log().size();
        ASSERT_NO_FATAL_FAILURE(c.disrupt());
        ASSERT_TRUE(waitFor([&] { return occurrences(agent->log().substr(before), kStatusLine) > 0; }, 30s)) << agent->log();
        EXPECT_TRUE(inOrder(agent->log().substr(before), c.linesAfter));
        EXPECT_EQ(request(R"({"cmd":"status"})"), "{\"switchState\":0,\"lightMode\":2}\n");
        EXPECT_EQ(agent->countInLog(kFailure), 0u) << agent->log();
    }
}

TEST_F(BluezAgentTest, ConnectThatNeverCompletesLeavesTheSocketServing) {
    ASSERT_NO_FATAL_FAILURE(start(std::vector<std::string>{"--connect=hang"}));
    ASSERT_TRUE(peer->waitFor("connect")) << agent->log();
    EXPECT_EQ(request(R"({"cmd":"state","value":3})"), "{\"ok\":true}\n");
    EXPECT_TRUE(logReaches("LED 状态 3: 未连接"));
    // The link stays connecting: nothing connects, disconnects or retries.
    EXPECT_TRUE(staysFalse([&] { return agent->countInLog("已连接") + agent->countInLog("已断开") + peer->count("connect\n") > 1; }))
        << agent->log();
    EXPECT_EQ(request(R"({"cmd":"status"})"), kNoKeyboard);
}

TEST_F(BluezAgentTest, FailedConnectIsLoggedOnceAndTriedAgain) {
    ASSERT_NO_FATAL_FAILURE(start(std::vector<std::string>{"--connect=fail"}));
    ASSERT_TRUE(logReaches("已断开，2s 后重连", 2)) << agent->log();
    // Never connected, so never known: the retry finds the keyboard by scanning again.
    EXPECT_TRUE(inOrder(agent->log(), {kFailure + ": Connect: org.bluez.Error.Failed: le-connection-abort-by-local",
                                       "已断开，2s 后重连", "发现: Vemlo K1", "已断开，2s 后重连"}));
    EXPECT_EQ(agent->countInLog(kFailure), 1u) << agent->log();
    EXPECT_EQ(request(R"({"cmd":"status"})"), kNoKeyboard);
}

TEST_F(BluezAgentTest, MissingCommandCharacteristicStopsShortOfReady) {
    ASSERT_NO_FATAL_FAILURE(start(std::vector<std::string>{"--no-command"}));
    ASSERT_TRUE(logReaches("通知通道已订阅")) << agent->log();
    EXPECT_EQ(request(R"({"cmd":"permission","value":1})"), kNoKeyboard);
    // Beyond the first status poll, which would write.
    EXPECT_TRUE(staysFalse([&] { return agent->countInLog("命令通道就绪") + peer->count("write ") > 0; })) << peer->output();
}

TEST_F(BluezAgentTest, WaitsQuietlyUntilBluetoothBecomesUsable) {
    const struct {
        const char* name;
        std::optional<std::vector<std::string>> peerArgs;  // absent: no bluetoothd at first
        std::function<void()> enable;
    } cases[] = {
        {"bluetoothd not running yet", std::nullopt, [&] { startPeer(); }},
        {"adapter powered off", std::vector<std::string>{"--adapter=off"}, [&] { peer->send("power on"); }},
        {"no adapter yet", std::vector<std::string>{"--adapter=none"}, [&] { peer->send("add-adapter"); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NO_FATAL_FAILURE(start(c.peerArgs));
        if (peer) { ASSERT_TRUE(peer->waitFor("objects")); }
        EXPECT_EQ(request(R"({"cmd":"status"})"), kNoKeyboard);
        EXPECT_TRUE(staysFalse([&] { return agent->countInLog("蓝牙就绪") > 0; })) << agent->log();
        ASSERT_NO_FATAL_FAILURE(c.enable());
        EXPECT_TRUE(logReaches(kStatusLine)) << agent->log();
        EXPECT_EQ(agent->countInLog(kFailure), 0u) << agent->log();
    }
}

TEST_F(BluezAgentTest, MalformedObjectListIsLoggedOnceAndAskedForAgain) {
    ASSERT_NO_FATAL_FAILURE(start(std::vector<std::string>{"--bad-object-lists=2"}));
    EXPECT_TRUE(logReaches(kStatusLine)) << agent->log();
    EXPECT_EQ(peer->count("bad object list"), 2u);
    EXPECT_EQ(agent->countInLog(kFailure + ": GetManagedObjects"), 1u) << agent->log();
}

TEST_F(BluezAgentTest, UnreachableBusIsLoggedOnceAndRetried) {
    ASSERT_NO_FATAL_FAILURE(start(std::nullopt, /*startBus=*/false));
    ASSERT_TRUE(logReaches("系统总线不可用，稍后自动重试")) << agent->log();
    EXPECT_EQ(request(R"({"cmd":"status"})"), kNoKeyboard);
    ASSERT_TRUE(bus->start());
    ASSERT_NO_FATAL_FAILURE(startPeer());
    EXPECT_TRUE(logReaches(kStatusLine)) << agent->log();
    EXPECT_EQ(agent->countInLog("系统总线不可用"), 1u) << agent->log();
}

TEST_F(BluezAgentTest, PrefixOnlyFurtherInTheNameIsNotTheKeyboard) {
    ASSERT_NO_FATAL_FAILURE(start(std::vector<std::string>{"--start=known", "--name=My Vemlo"}));
    ASSERT_TRUE(peer->waitFor("discovery on"));
    EXPECT_TRUE(staysFalse([&] { return agent->countInLog("发现") + agent->countInLog("系统已连接") + peer->count("connect") > 0; }))
        << agent->log();
    EXPECT_EQ(request(R"({"cmd":"status"})"), kNoKeyboard);
}

}  // namespace
}  // namespace vemlo::test
