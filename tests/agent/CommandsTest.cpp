#include "platform/Json.h"
#include "support/AgentHarness.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace vemlo::test {
namespace {

using ::testing::ElementsAre;

struct Commands : ::testing::Test {
    AgentHarness h;
    std::shared_ptr<FakePeripheral> keyboard = FakePeripheral::keyboard();

    void ready() {
        h.connect(keyboard);
        h.takeLog();
        keyboard->writes.clear();
    }
    // LED states written to the keyboard, in order.
    std::vector<int> statesSent() const {
        std::vector<int> out;
        for (const auto& w : keyboard->writes)
            if (w.bytes.size() == 6 && w.bytes[2] == 0x90) out.push_back(w.bytes[3]);
        return out;
    }
};

TEST_F(Commands, ImmediateRepliesAndStates) {
    struct Case {
        std::string request;
        std::string reply;
        std::vector<int> sent;
    };
    const Case cases[] = {
        {R"({"cmd":"state","value":3})", "{\"ok\":true}\n", {3}},
        {R"({"cmd":"state","value":300})", "{\"ok\":true}\n", {255}},
        {R"({"cmd":"state","value":-4})", "{\"ok\":true}\n", {0}},
        {R"({"cmd":"state","value":2.0})", "{\"ok\":true}\n", {2}},
        {R"({"cmd":"state"})", "{\"ok\":true}\n", {}},
        {R"({"cmd":"state","value":"3"})", "{\"ok\":true}\n", {}},
        {R"({"cmd":"state","value":true})", "{\"ok\":true}\n", {}},
        {R"({"cmd":"state","value":null})", "{\"ok\":true}\n", {}},
        {R"({"cmd":"state","value":18446744073709551615})", "{\"ok\":true}\n", {255}},
        {R"({"cmd":"state_with_reset","delayMs":100000})", "{\"ok\":true}\n", {0}},
        {R"({"cmd":"STATE"})", "{\"error\":\"unknown cmd: STATE\"}\n", {}},
        {R"({"cmd":"reboot","value":1})", "{\"error\":\"unknown cmd: reboot\"}\n", {}},
    };
    for (const auto& c : cases) {
        AgentHarness fresh;
        auto kb = FakePeripheral::keyboard();
        fresh.connect(kb);
        kb->writes.clear();
        EXPECT_EQ(fresh.command(c.request), c.reply) << c.request;
        std::vector<int> sent;
        for (const auto& w : kb->writes)
            if (w.bytes[2] == 0x90) sent.push_back(w.bytes[3]);
        EXPECT_EQ(sent, c.sent) << c.request;
    }
}

TEST_F(Commands, StateWithResetFallsBackAfterTheDelay) {
    ready();
    h.command(R"({"cmd":"state_with_reset"})");
    h.queue.advance(std::chrono::milliseconds(1199));
    EXPECT_THAT(statesSent(), ElementsAre(0));
    h.queue.advance(std::chrono::milliseconds(1));
    EXPECT_THAT(statesSent(), ElementsAre(0, 4));
    EXPECT_THAT(h.takeLog(), ElementsAre("→ LED 状态 0: AA BB 90 00 CC DD", "→ LED 状态 4: AA BB 90 04 CC DD",
                                         "自动回落灯态：temporary state 0 -> reset 4"));
}

// The delay is bounded on both sides, so that no value wraps round to "now"; values are clamped but
// logged as received.
TEST_F(Commands, StateWithResetDelayBounds) {
    const int64_t kMax = int64_t{1} << 31;
    struct Case {
        std::string request;
        int64_t firesAfterMs;
        std::vector<std::string> before, after;
    };
    const Case cases[] = {
        {R"({"cmd":"state_with_reset","value":300,"resetValue":-1,"delayMs":-50})",
         0,
         {"LED 状态 255: 未连接"},
         {"LED 状态 0: 未连接", "自动回落灯态：temporary state 300 -> reset -1"}},
        {R"({"cmd":"state_with_reset","value":3,"delayMs":2147483647})",
         kMax - 1,
         {"LED 状态 3: 未连接"},
         {"LED 状态 4: 未连接", "自动回落灯态：temporary state 3 -> reset 4"}},
        {R"({"cmd":"state_with_reset","value":3,"delayMs":9200000000000})",
         kMax,
         {"LED 状态 3: 未连接"},
         {"LED 状态 4: 未连接", "自动回落灯态：temporary state 3 -> reset 4"}},
        {R"({"cmd":"state_with_reset","value":3,"delayMs":9223372036854775807})",
         kMax,
         {"LED 状态 3: 未连接"},
         {"LED 状态 4: 未连接", "自动回落灯态：temporary state 3 -> reset 4"}},
        {R"({"cmd":"state_with_reset","value":3,"delayMs":1e300})",
         kMax,
         {"LED 状态 3: 未连接"},
         {"LED 状态 4: 未连接", "自动回落灯态：temporary state 3 -> reset 4"}},
    };
    for (const auto& c : cases) {
        AgentHarness fresh;  // no keyboard: the console tells what was sent and when
        fresh.command(c.request);
        if (c.firesAfterMs > 0) fresh.queue.advance(std::chrono::milliseconds(c.firesAfterMs - 1));
        EXPECT_EQ(fresh.takeLog(), c.before) << c.request;
        fresh.queue.advance(std::chrono::milliseconds(c.firesAfterMs > 0 ? 1 : 0));
        EXPECT_EQ(fresh.takeLog(), c.after) << c.request;
    }
}

TEST_F(Commands, AnyLaterStateCancelsTheFallBack) {
    ready();
    h.command(R"({"cmd":"state_with_reset","delayMs":1200})");
    h.queue.advance(std::chrono::milliseconds(500));
    h.command(R"({"cmd":"state","value":7})");
    h.queue.advance(seconds(5));
    EXPECT_THAT(statesSent(), ElementsAre(0, 7));

    // Even a state the keyboard never receives cancels it.
    h.command(R"({"cmd":"state_with_reset","value":1,"delayMs":100})");
    h.central->disconnect(keyboard);
    h.agent->sendState(8);
    h.queue.advance(seconds(1));
    EXPECT_THAT(statesSent(), ElementsAre(0, 7, 1));
}

TEST_F(Commands, PermissionWithoutKeyboard) {
    EXPECT_EQ(h.command(R"({"cmd":"permission"})"), "{\"switchState\":null,\"lightMode\":null}\n");
    EXPECT_THAT(h.takeLog(),
                ElementsAre("LED 状态 1: 未连接", "← permission 回包 switchState=Optional(<null>)",
                            "（switchState 缺省：批准链可能仍交回手动；请把「蓝牙」交给 Agent 并连上键盘。）"));
}

TEST_F(Commands, PermissionAnsweredByTheKeyboard) {
    struct Case {
        uint8_t lever;
        std::vector<std::string> extraLines;
    };
    const Case cases[] = {
        {0, {}},
        {2, {"（拨杆非 0：PermissionRequest 将交回终端手动确认）"}},
    };
    for (const auto& c : cases) {
        AgentHarness fresh;
        auto kb = FakePeripheral::keyboard();
        fresh.connect(kb);
        fresh.takeLog();
        int fd = fresh.startCommand(R"({"cmd":"permission","value":1})");
        EXPECT_EQ(AgentHarness::reply(fd), "") << "waits for the keyboard";
        fresh.sendStatus(kb, c.lever, 5);
        EXPECT_EQ(AgentHarness::reply(fd), "{\"switchState\":" + std::to_string(c.lever) + ",\"lightMode\":5}\n");
        ::close(fd);
        std::vector<std::string> expected{"→ LED 状态 1: AA BB 90 01 CC DD",
                                          "← status battery=90 light=5 switch=" + std::to_string(c.lever),
                                          "← permission 回包 switchState=Optional(" + std::to_string(c.lever) + ")"};
        expected.insert(expected.end(), c.extraLines.begin(), c.extraLines.end());
        EXPECT_EQ(fresh.takeLog(), expected);
    }
}

TEST_F(Commands, StatusQueriesAndTheOverride) {
    // No keyboard: the override is the answer.
    EXPECT_EQ(h.command(R"({"cmd":"set_switch_override","value":1})"),
              "{\"ok\":true,\"switchState\":1,\"override\":1}\n");
    EXPECT_EQ(h.command(R"({"cmd":"status"})"), "{\"switchState\":1,\"lightMode\":null}\n");
    EXPECT_EQ(h.command(R"({"cmd":"approval_status"})"), "{\"switchState\":1,\"lightMode\":null}\n");

    // A keyboard that answers wins, and its frame ends the override.
    h.connect(keyboard);
    int fd = h.startCommand(R"({"cmd":"status"})");
    h.sendStatus(keyboard, 0, 3);
    EXPECT_EQ(AgentHarness::reply(fd), "{\"switchState\":0,\"lightMode\":3}\n");
    ::close(fd);
    EXPECT_FALSE(h.agent->userSwitchOverride());
}

// A silent keyboard: the cache-built status at the time-out beats the override.
TEST_F(Commands, SilentKeyboardRepliesFromTheCacheAtTheTimeOut) {
    ready();
    h.sendStatus(keyboard, 2, 6);
    h.command(R"({"cmd":"set_switch_override","value":0})");
    int fd = h.startCommand(R"({"cmd":"status"})");
    h.queue.advance(seconds(1.49));
    EXPECT_EQ(AgentHarness::reply(fd), "");
    h.queue.advance(seconds(0.01));
    EXPECT_EQ(AgentHarness::reply(fd), "{\"switchState\":2,\"lightMode\":6}\n");
    ::close(fd);
}

TEST_F(Commands, SetSwitchOverride) {
    struct Case {
        std::string request;
        std::optional<uint8_t> cachedLever;
        std::optional<uint8_t> overrideBefore;
        std::string reply;
        std::vector<std::string> log;
    };
    const Case cases[] = {
        {R"({"cmd":"set_switch_override","value":2})",
         std::nullopt,
         std::nullopt,
         "{\"ok\":true,\"switchState\":2,\"override\":2}\n",
         {"拨杆 2 仅作临时软件模拟，下一次真实状态回包会接管。", "拨杆覆盖 = 2（effective=2）"}},
        {R"({"cmd":"set_switch_override","value":999})",
         0,
         std::nullopt,
         "{\"ok\":true,\"switchState\":255,\"override\":255}\n",
         {"拨杆 255 仅作临时软件模拟，下一次真实状态回包会接管。", "拨杆覆盖 = 255（effective=255）"}},
        {R"({"cmd":"set_switch_override"})",
         0,
         3,
         "{\"ok\":true,\"switchState\":0,\"override\":null}\n",
         {"拨杆覆盖 = 清除（effective=0）"}},
        {R"({"cmd":"set_switch_override","value":null})",
         std::nullopt,
         3,
         "{\"ok\":true,\"switchState\":null,\"override\":null}\n",
         {"拨杆覆盖 = 清除（effective=未知）"}},
        {R"({"cmd":"set_switch_override","value":"1"})", 0, 4, "{\"ok\":true,\"switchState\":4,\"override\":4}\n", {}},
        {R"({"cmd":"set_switch_override","value":[1]})",
         std::nullopt,
         std::nullopt,
         "{\"ok\":true,\"switchState\":null,\"override\":null}\n",
         {}},
    };
    for (const auto& c : cases) {
        AgentHarness fresh;
        auto kb = FakePeripheral::keyboard();
        if (c.cachedLever) {
            fresh.connect(kb);
            fresh.sendStatus(kb, *c.cachedLever);
        }
        if (c.overrideBefore) fresh.agent->setSwitchOverride(c.overrideBefore);
        fresh.takeLog();
        EXPECT_EQ(fresh.command(c.request), c.reply) << c.request;
        EXPECT_EQ(fresh.takeLog(), c.log) << c.request;
    }
}

TEST_F(Commands, ClearingTheOverrideWithNothingCachedKeepsTheFileLever) {
    h.command(R"({"cmd":"set_switch_override","value":2})");
    h.command(R"({"cmd":"set_switch_override","value":null})");
    auto state = json::parseObject(h.liveStateText());
    ASSERT_TRUE(state);
    EXPECT_EQ((*state)["switchState"], 2) << "only the timestamp moves";
}

// ---- watchdog -------------------------------------------------------------------------------

// Only hook commands that set a state arm the watchdog; the LED may show activity without that.
TEST(AgentWatchdog, ArmedOnlyByHookStateCommands) {
    struct Case {
        std::string request;
        size_t stops;
    };
    const Case cases[] = {
        {R"({"cmd":"state","value":3})", 1}, {R"({"cmd":"permission"})", 1},
        {R"({"cmd":"state"})", 0},           {R"({"cmd":"state_with_reset","value":3,"delayMs":999999})", 0},
        {R"({"cmd":"status"})", 0},          {R"({"cmd":"set_switch_override","value":0})", 0},
    };
    for (const auto& c : cases) {
        AgentHarness fresh;
        auto kb = FakePeripheral::keyboard();
        fresh.agent->startSocketListener();  // starts the watchdog; the socket path is unusable on purpose
        fresh.connect(kb);
        fresh.agent->sendState(3);  // activity on the LED, but not from a hook command
        fresh.command(c.request);
        kb->writes.clear();
        fresh.queue.advance(seconds(600));
        size_t stops = 0;
        for (const auto& w : kb->writes) stops += w.bytes.size() == 6 && w.bytes[2] == 0x90 && w.bytes[3] == 5;
        EXPECT_EQ(stops, c.stops) << c.request;
    }
}

}  // namespace
}  // namespace vemlo::test
