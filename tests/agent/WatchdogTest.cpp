#include "agent/Watchdog.h"
#include "support/ManualMainQueue.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>

namespace vemlo::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// A watchdog wired to a pretend keyboard link: what it sends is recorded, and reaches the keyboard
// only while `linked`.
struct Rig {
    ManualMainQueue queue;
    uint8_t lastSent = 0;
    bool linked = true;
    std::vector<uint8_t> sent;
    std::vector<std::string> log;
    std::unique_ptr<Watchdog> watchdog =
        std::make_unique<Watchdog>(queue, Watchdog::Link{[this] { return lastSent; },
                                                         [this](uint8_t v) {
                                                             sent.push_back(v);
                                                             if (linked) lastSent = v;
                                                         },
                                                         [this](const std::string& line) { log.push_back(line); }});

    // The keyboard shows `state`, set by a hook command now.
    void hookSets(uint8_t state) {
        lastSent = state;
        watchdog->hookSetState();
    }
};

TEST(Watchdog, ThresholdsByLastState) {
    struct Case {
        uint8_t state;
        double firesAfter;  // seconds after the hook at which Stop goes out; 0 = never
        std::string line;
    };
    // Checks run at 30, 40, 50, ... s after the start; the hook sets its state at t=4.
    const Case cases[] = {
        {3, 70 - 4, "⏰ 看门狗：66s 无 hook 活动（上次 LED=3，阈值 60s），自动发 Stop(5)"},
        {2, 70 - 4, "⏰ 看门狗：66s 无 hook 活动（上次 LED=2，阈值 60s），自动发 Stop(5)"},
        {4, 70 - 4, "⏰ 看门狗：66s 无 hook 活动（上次 LED=4，阈值 60s），自动发 Stop(5)"},
        {6, 70 - 4, "⏰ 看门狗：66s 无 hook 活动（上次 LED=6，阈值 60s），自动发 Stop(5)"},
        {7, 40 - 4, "⏰ 看门狗：36s 无 hook 活动（上次 LED=7，阈值 30s），自动发 Stop(5)"},
        {1, 40 - 4, "⏰ 看门狗：36s 无 hook 活动（上次 LED=1，阈值 30s），自动发 Stop(5)"},
        {0, 0, ""},
        {5, 0, ""},
        {8, 0, ""},
        {9, 0, ""},
        {255, 0, ""},
    };
    for (const auto& c : cases) {
        Rig rig;
        rig.watchdog->start();
        rig.queue.advance(seconds(4));
        rig.hookSets(c.state);
        if (c.firesAfter > 0) {
            rig.queue.advance(seconds(c.firesAfter - 0.001));
            EXPECT_THAT(rig.sent, IsEmpty()) << int(c.state);
            rig.queue.advance(seconds(0.001));
            EXPECT_THAT(rig.sent, ElementsAre(5)) << int(c.state);
            EXPECT_THAT(rig.log, ElementsAre(c.line));
        }
        rig.queue.advance(seconds(600));
        EXPECT_EQ(rig.sent.size(), c.firesAfter > 0 ? 1u : 0u) << int(c.state) << ": fires once, then stays disarmed";
    }
}

TEST(Watchdog, RegularHooksKeepItQuiet) {
    Rig rig;
    rig.watchdog->start();
    for (int i = 0; i < 30; ++i) {
        rig.hookSets(2);
        rig.queue.advance(seconds(20));
    }
    EXPECT_THAT(rig.log, IsEmpty());
}

// Stop that never reaches the keyboard still disarms: the LED state it looks at stays what the
// keyboard last received.
TEST(Watchdog, FiringWhileDisconnectedStillDisarms) {
    Rig rig;
    rig.watchdog->start();
    rig.hookSets(7);
    rig.linked = false;
    rig.queue.advance(seconds(40));
    EXPECT_THAT(rig.sent, ElementsAre(5));
    EXPECT_EQ(rig.lastSent, 7);
    rig.queue.advance(seconds(600));
    EXPECT_THAT(rig.sent, ElementsAre(5));
}

TEST(Watchdog, NothingRunsOnceItIsGone) {
    Rig rig;
    rig.watchdog->start();
    rig.hookSets(3);
    rig.watchdog.reset();
    rig.queue.advance(seconds(600));
    EXPECT_THAT(rig.sent, IsEmpty());
    EXPECT_EQ(rig.queue.timerCount(), 0u);
}

}  // namespace
}  // namespace vemlo::test
