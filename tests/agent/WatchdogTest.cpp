#include "agent/Watchdog.h"
#include "support/ManualMainQueue.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace vemlo::test {
namespace {

using ::testing::ElementsAre;

struct Rig {
    ManualMainQueue queue;
    uint8_t lastSent = 0;
    std::vector<uint8_t> sent;
    std::vector<std::string> log;
    std::unique_ptr<Watchdog> watchdog = std::make_unique<Watchdog>(
        queue, Watchdog::Link{[this] { return lastSent; }, [this](uint8_t v) { sent.push_back(v), lastSent = v; },
                              [this](const std::string& line) { log.push_back(line); }});
    Rig() { watchdog->start(); }
    void hookSets(uint8_t state) { lastSent = state, watchdog->hookSetState(); }
};

// Checks run at 30, 40, 50, ... s after the start; the hook sets its state at t=4. Stop goes out
// once, at the first check past the state's limit, then the watchdog stays disarmed.
TEST(Watchdog, ThresholdsByLastState) {
    const std::pair<uint8_t, int> cases[] = {{3, 66}, {2, 66}, {4, 66}, {6, 66}, {7, 36}, {1, 36},
                                             {0, 0},  {5, 0},  {8, 0},  {9, 0},  {255, 0}};
    for (const auto& [state, firesAfter] : cases) {
        Rig rig;
        rig.queue.advance(seconds(4));
        rig.hookSets(state);
        if (firesAfter > 0) {
            rig.queue.advance(seconds(firesAfter - 0.001));
            EXPECT_TRUE(rig.sent.empty()) << int(state);
            rig.queue.advance(seconds(0.001));
            EXPECT_THAT(rig.log, ElementsAre("⏰ 看门狗：" + std::to_string(firesAfter) +
                                             "s 无 hook 活动（上次 LED=" + std::to_string(state) + "，阈值 " +
                                             (firesAfter > 40 ? "60" : "30") + "s），自动发 Stop(5)"));
        }
        rig.queue.advance(seconds(600));
        EXPECT_EQ(rig.sent, firesAfter > 0 ? std::vector<uint8_t>{5} : std::vector<uint8_t>{}) << int(state);
    }
    // Regular hooks keep it quiet; once it is gone nothing of it runs.
    Rig rig;
    for (int i = 0; i < 30; ++i) rig.hookSets(7), rig.queue.advance(seconds(20));
    rig.watchdog.reset();
    rig.queue.advance(seconds(600));
    EXPECT_TRUE(rig.sent.empty());
}

}  // namespace
}  // namespace vemlo::test
