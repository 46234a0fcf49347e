#include "platform/Json.h"
#include "support/AgentHarness.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace vemlo::test {
namespace {

using ::testing::ElementsAre;

// LED states written to the keyboard, in order.
std::vector<int> statesSent(const FakePeripheral& keyboard) {
    std::vector<int> out;
    for (const auto& w : keyboard.writes)
        if (w.bytes.size() == 6 && w.bytes[2] == 0x90) out.push_back(w.bytes[3]);
    return out;
}

struct Linked {
    AgentHarness h;
    std::shared_ptr<FakePeripheral> keyboard = FakePeripheral::keyboard();
    Linked() {
        h.connect(keyboard);
        h.takeLog();
        keyboard->writes.clear();
    }
};

TEST(Commands, ImmediateRepliesAndStates) {
    const std::string ok = "{\"ok\":true}\n";
    const struct {
        std::string request, reply;
        std::vector<int> sent;
    } cases[] = {
        {R"({"cmd":"state","value":3})", ok, {3}},
        {R"({"cmd":"state","value":300})", ok, {255}},
        {R"({"cmd":"state","value":-4})", ok, {0}},
        {R"({"cmd":"state","value":2.0})", ok, {2}},
        {R"({"cmd":"state","value":18446744073709551615})", ok, {255}},
        {R"({"cmd":"state"})", ok, {}},
        {R"({"cmd":"state","value":"3"})", ok, {}},
        {R"({"cmd":"state","value":true})", ok, {}},
        {R"({"cmd":"state_with_reset","delayMs":100000})", ok, {0}},
        {R"({"cmd":"STATE"})", "{\"error\":\"unknown cmd: STATE\"}\n", {}},
    };
    for (const auto& c : cases) {
        Linked l;
        EXPECT_EQ(l.h.command(c.request), c.reply) << c.request;
        EXPECT_EQ(statesSent(*l.keyboard), c.sent) << c.request;
    }
}

// The fall-back comes after the delay, bounded on both sides so that no value wraps round to "now".
TEST(Commands, StateWithResetFallsBackAfterTheBoundedDelay) {
    const int64_t kMax = int64_t{1} << 31;
    const struct {
        std::string request;
        int64_t firesAfterMs;
        int value, reset;
    } cases[] = {
        {R"({"cmd":"state_with_reset"})", 1200, 0, 4},
        {R"({"cmd":"state_with_reset","value":300,"resetValue":-1,"delayMs":-50})", 0, 255, 0},
        {R"({"cmd":"state_with_reset","value":3,"delayMs":2147483647})", kMax - 1, 3, 4},
        {R"({"cmd":"state_with_reset","value":3,"delayMs":9223372036854775807})", kMax, 3, 4},
        {R"({"cmd":"state_with_reset","value":3,"delayMs":1e300})", kMax, 3, 4},
    };
    auto line = [](int v) { return "LED 状态 " + std::to_string(v) + ": 未连接"; };
    for (const auto& c : cases) {
        AgentHarness h;  // no keyboard, so that no polling runs for weeks of virtual time
        h.command(c.request);
        if (c.firesAfterMs > 0) h.queue.advance(std::chrono::milliseconds(c.firesAfterMs - 1));
        EXPECT_THAT(h.takeLog(), ElementsAre(line(c.value))) << c.request;
        h.queue.advance(std::chrono::milliseconds(1));
        EXPECT_EQ(h.takeLog().at(0), line(c.reset)) << c.request;
    }
}

TEST(Commands, AnyLaterStateCancelsTheFallBack) {
    Linked l;
    l.h.command(R"({"cmd":"state_with_reset","delayMs":1200})");
    l.h.queue.advance(std::chrono::milliseconds(500));
    l.h.command(R"({"cmd":"state","value":7})");
    l.h.queue.advance(seconds(5));
    EXPECT_THAT(statesSent(*l.keyboard), ElementsAre(0, 7));
    // Even a state the keyboard never receives cancels it.
    l.h.command(R"({"cmd":"state_with_reset","value":1,"delayMs":100})");
    l.h.central->disconnect(l.keyboard);
    l.h.agent->sendState(8);
    l.h.queue.advance(seconds(1));
    EXPECT_THAT(statesSent(*l.keyboard), ElementsAre(0, 7, 1));
}

TEST(Commands, PermissionRepliesWithTheLeverAndWarnsWhenItIsNotZero) {
    AgentHarness none;
    EXPECT_EQ(none.command(R"({"cmd":"permission"})"), "{\"switchState\":null,\"lightMode\":null}\n");
    EXPECT_EQ(none.takeLog().at(1), "← permission 回包 switchState=Optional(<null>)");
    for (uint8_t lever : {0, 2}) {
        Linked l;
        int fd = l.h.startCommand(R"({"cmd":"permission","value":1})");
        EXPECT_EQ(AgentHarness::reply(fd), "") << "waits for the keyboard";
        l.h.sendStatus(l.keyboard, lever, 5);
        EXPECT_EQ(AgentHarness::reply(fd), "{\"switchState\":" + std::to_string(lever) + ",\"lightMode\":5}\n");
        ::close(fd);
        EXPECT_THAT(statesSent(*l.keyboard), ElementsAre(1));
        EXPECT_EQ(l.h.takeLog().size(), lever == 0 ? 3u : 4u) << "a warning only for a lever that is not 0";
    }
}

TEST(Commands, StatusQueriesAndTheOverride) {
    AgentHarness h;
    EXPECT_EQ(h.command(R"({"cmd":"set_switch_override","value":1})"),
              "{\"ok\":true,\"switchState\":1,\"override\":1}\n");
    EXPECT_EQ(h.command(R"({"cmd":"approval_status"})"), "{\"switchState\":1,\"lightMode\":null}\n");
    // A keyboard that answers wins, and its frame ends the override.
    auto keyboard = FakePeripheral::keyboard();
    h.connect(keyboard);
    int fd = h.startCommand(R"({"cmd":"status"})");
    h.sendStatus(keyboard, 0, 3);
    EXPECT_EQ(AgentHarness::reply(fd), "{\"switchState\":0,\"lightMode\":3}\n");
    ::close(fd);
    EXPECT_FALSE(h.agent->userSwitchOverride());
    // A silent keyboard: at the time-out the cached status beats a newer override.
    h.command(R"({"cmd":"set_switch_override","value":2})");
    fd = h.startCommand(R"({"cmd":"status"})");
    h.queue.advance(seconds(1.49));
    EXPECT_EQ(AgentHarness::reply(fd), "");
    h.queue.advance(seconds(0.01));
    EXPECT_EQ(AgentHarness::reply(fd), "{\"switchState\":0,\"lightMode\":3}\n");
    ::close(fd);
}

TEST(Commands, SetSwitchOverride) {
    const struct {
        std::string request;
        std::optional<uint8_t> cachedLever, overrideBefore;
        std::string reply;
    } cases[] = {
        {R"(,"value":2})", std::nullopt, std::nullopt, "{\"ok\":true,\"switchState\":2,\"override\":2}\n"},
        {R"(,"value":999})", 0, std::nullopt, "{\"ok\":true,\"switchState\":255,\"override\":255}\n"},
        {"}", 0, 3, "{\"ok\":true,\"switchState\":0,\"override\":null}\n"},
        {R"(,"value":null})", std::nullopt, 3, "{\"ok\":true,\"switchState\":null,\"override\":null}\n"},
        {R"(,"value":"1"})", 0, 4, "{\"ok\":true,\"switchState\":4,\"override\":4}\n"},
    };
    for (const auto& c : cases) {
        AgentHarness h;
        auto kb = FakePeripheral::keyboard();
        if (c.cachedLever) h.connect(kb), h.sendStatus(kb, *c.cachedLever);
        if (c.overrideBefore) h.agent->setSwitchOverride(c.overrideBefore);
        EXPECT_EQ(h.command(R"({"cmd":"set_switch_override")" + c.request), c.reply) << c.request;
    }
    // Clearing it with nothing cached leaves the lever the file shows.
    AgentHarness h;
    h.command(R"({"cmd":"set_switch_override","value":2})");
    h.command(R"({"cmd":"set_switch_override","value":null})");
    EXPECT_EQ(json::parseObject(h.liveStateText()).value_or(Json::object())["switchState"], 2);
}

// Only hook commands that set a state arm the watchdog; the LED may show activity without that.
TEST(Commands, OnlyHookStateCommandsArmTheWatchdog) {
    const std::pair<std::string, size_t> cases[] = {
        {R"({"cmd":"state","value":3})", 1}, {R"({"cmd":"permission"})", 1},
        {R"({"cmd":"state"})", 0},           {R"({"cmd":"state_with_reset","value":3,"delayMs":999999})", 0},
        {R"({"cmd":"status"})", 0},
    };
    for (const auto& [request, stops] : cases) {
        Linked l;
        l.h.agent->startSocketListener();  // starts the watchdog; the socket path is unusable on purpose
        l.h.agent->sendState(3);           // activity on the LED, but not from a hook command
        l.h.command(request);
        l.keyboard->writes.clear();
        l.h.queue.advance(seconds(600));
        const auto sent = statesSent(*l.keyboard);
        EXPECT_EQ(static_cast<size_t>(std::count(sent.begin(), sent.end(), 5)), stops) << request;
    }
}

}  // namespace
}  // namespace vemlo::test
