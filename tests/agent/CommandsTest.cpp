#include "support/AgentHarness.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace vemlo::test {
namespace {

using ::testing::ElementsAre;

// An agent linked to a keyboard; `sent()` tells the LED states written to it, in order.
struct Linked : AgentHarness {
    std::shared_ptr<FakePeripheral> keyboard = FakePeripheral::keyboard();
    Linked() { connect(keyboard), takeLog(), keyboard->writes.clear(); }
    std::vector<int> sent() const {
        std::vector<int> out;
        for (const auto& w : keyboard->writes)
            if (w.bytes.size() == 6 && w.bytes[2] == 0x90) out.push_back(w.bytes[3]);
        return out;
    }
};

// State commands reply at once and send the value clamped to a byte (nothing without a number).
// Only those that set a state arm the watchdog (which then stops 3 and 2, not 255 or 0); the LED
// may show activity without that.
TEST(Commands, StateCommandsReplyAtOnceAndArmTheWatchdog) {
    const std::tuple<std::string, std::vector<int>, bool> cases[] = {
        {R"("state","value":3)", {3}, true},
        {R"("state","value":300)", {255}, false},
        {R"("state","value":-4)", {0}, false},
        {R"("state","value":2.0)", {2}, true},
        {R"("state","value":18446744073709551615)", {255}, false},
        {R"("state")", {}, false},
        {R"("state","value":"3")", {}, false},
        {R"("state","value":true)", {}, false},
        {R"("state_with_reset","value":3,"delayMs":999999)", {3}, false}};
    for (const auto& [request, sent, stops] : cases) {
        Linked l;
        l.agent->startSocketListener();  // starts the watchdog; the socket path is unusable on purpose
        l.agent->sendState(3);           // activity on the LED, but not from a hook command
        l.keyboard->writes.clear();
        EXPECT_EQ(l.command(R"({"cmd":)" + request + "}"), "{\"ok\":true}\n") << request;
        EXPECT_EQ(l.sent(), sent) << request;
        l.keyboard->writes.clear();
        l.queue.advance(seconds(600));
        EXPECT_EQ(l.sent(), stops ? std::vector{5} : std::vector<int>{}) << request;
    }
    EXPECT_EQ(Linked().command(R"({"cmd":"STATE"})"), "{\"error\":\"unknown cmd: STATE\"}\n");
}

// The fall-back comes after the delay, bounded on both sides so that no value wraps round to "now".
TEST(Commands, StateWithResetFallsBackAfterTheBoundedDelay) {
    const int64_t kMax = int64_t{1} << 31;
    const std::tuple<std::string, int64_t, int, int> cases[] = {
        {"", 1200, 0, 4},
        {R"(,"value":300,"resetValue":-1,"delayMs":-50)", 0, 255, 0},
        {R"(,"value":3,"delayMs":9223372036854775807)", kMax, 3, 4},
        {R"(,"value":3,"delayMs":1e300)", kMax, 3, 4}};
    auto line = [](int v) { return "LED 状态 " + std::to_string(v) + ": 未连接"; };
    for (const auto& [request, firesAfterMs, value, reset] : cases) {
        AgentHarness h;  // no keyboard, so that no polling runs for weeks of virtual time
        h.command(R"({"cmd":"state_with_reset")" + request + "}");
        if (firesAfterMs > 0) h.queue.advance(std::chrono::milliseconds(firesAfterMs - 1));
        EXPECT_THAT(h.takeLog(), ElementsAre(line(value))) << request;
        h.queue.advance(std::chrono::milliseconds(1));
        EXPECT_EQ(h.takeLog().at(0), line(reset)) << request;
    }
    // Any later state cancels it, even one the keyboard never receives.
    Linked l;
    l.command(R"({"cmd":"state_with_reset","delayMs":1200})");
    l.queue.advance(std::chrono::milliseconds(500));
    l.command(R"({"cmd":"state","value":7})");
    l.queue.advance(seconds(5));
    l.command(R"({"cmd":"state_with_reset","value":1,"delayMs":100})");
    l.central->disconnect(l.keyboard);
    l.agent->sendState(8);
    l.queue.advance(seconds(1));
    EXPECT_THAT(l.sent(), ElementsAre(0, 7, 1));
}

TEST(Commands, PermissionRepliesWithTheLeverAndWarnsWhenItIsNotZero) {
    AgentHarness none;
    EXPECT_EQ(none.command(R"({"cmd":"permission"})"), "{\"switchState\":null,\"lightMode\":null}\n");
    EXPECT_EQ(none.takeLog().at(1), "← permission 回包 switchState=Optional(<null>)");
    for (uint8_t lever : {0, 2}) {
        Linked l;
        l.agent->startSocketListener(), l.takeLog();
        int fd = l.startCommand(R"({"cmd":"permission","value":1})");
        EXPECT_EQ(AgentHarness::reply(fd), "") << "waits for the keyboard";
        l.sendStatus(l.keyboard, lever, 5);
        EXPECT_EQ(AgentHarness::reply(fd), "{\"switchState\":" + std::to_string(lever) + ",\"lightMode\":5}\n");
        ::close(fd);
        EXPECT_EQ(l.takeLog().size(), lever == 0 ? 3u : 4u) << "a warning only for a lever that is not 0";
        l.queue.advance(seconds(600));
        EXPECT_THAT(l.sent(), ElementsAre(1, 5)) << "a permission request arms the watchdog";
    }
}

// An override is clamped to a byte and is the answer while no keyboard is linked; clearing it keeps
// the lever in the file. A keyboard that answers wins, and its frame ends the override; a silent one
// is answered from the cache at the time-out, which beats a newer override.
TEST(Commands, StatusAndTheOverride) {
    AgentHarness h;
    EXPECT_EQ(h.command(R"({"cmd":"set_switch_override","value":999})"),
              "{\"ok\":true,\"switchState\":255,\"override\":255}\n");
    EXPECT_EQ(h.command(R"({"cmd":"set_switch_override","value":"1"})"),
              "{\"ok\":true,\"switchState\":255,\"override\":255}\n");
    EXPECT_EQ(h.command(R"({"cmd":"set_switch_override"})"), "{\"ok\":true,\"switchState\":null,\"override\":null}\n");
    h.command(R"({"cmd":"set_switch_override","value":1})");
    EXPECT_EQ(h.command(R"({"cmd":"approval_status"})"), "{\"switchState\":1,\"lightMode\":null}\n");
    h.command(R"({"cmd":"set_switch_override","value":null})");
    // The file is written before the reply, with no time passing: a program that sets the lever and
    // then reads the file finds it.
    const auto written = files::readFile(livestate::filePath(h.home.path())).value_or("");
    EXPECT_EQ(json::parseObject(written).value_or(Json::object())["switchState"], 1) << written;
    auto keyboard = FakePeripheral::keyboard();
    h.connect(keyboard);
    h.command(R"({"cmd":"set_switch_override","value":1})");
    int fd = h.startCommand(R"({"cmd":"status"})");
    h.sendStatus(keyboard, 0, 3);
    EXPECT_EQ(AgentHarness::reply(fd), "{\"switchState\":0,\"lightMode\":3}\n");
    EXPECT_FALSE(h.agent->userSwitchOverride());
    h.command(R"({"cmd":"set_switch_override","value":2})");
    fd = (::close(fd), h.startCommand(R"({"cmd":"status"})"));
    h.queue.advance(seconds(1.49));
    EXPECT_EQ(AgentHarness::reply(fd), "");
    h.queue.advance(seconds(0.01));
    EXPECT_EQ(AgentHarness::reply(fd), "{\"switchState\":0,\"lightMode\":3}\n");
    ::close(fd);
}

}  // namespace
}  // namespace vemlo::test
