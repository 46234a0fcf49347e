#include "agent/LeverQuery.h"
#include "support/ManualMainQueue.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>

namespace vemlo::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

std::string show(const std::optional<AgentDeviceStatus>& s) {
    return s ? std::to_string(s->switchState) + "/" + std::to_string(s->lightMode) + "/" + std::to_string(s->battery)
             : "absent";
}

struct Rig {
    ManualMainQueue queue;
    std::optional<uint8_t> cachedLever = 2;
    std::unique_ptr<LeverQuery> query =
        std::make_unique<LeverQuery>(queue, [this] { return cacheBuiltStatus(cachedLever, std::nullopt); });
    std::vector<std::string> answers;

    LeverQuery::Completion record(std::string who) {
        return [this, who](std::optional<AgentDeviceStatus> s) { answers.push_back(who + ":" + show(s)); };
    }
};

// The first time-out to come due answers everybody waiting then, with the cached lever (light 0,
// unknown battery), whatever their own time-outs; absent with no lever cached.
TEST(LeverQuery, FirstTimeOutAnswersEveryWaiterInOrder) {
    Rig rig;
    rig.query->wait(seconds(1.5), rig.record("first"));
    rig.queue.advance(seconds(1.0));
    rig.query->wait(seconds(1.5), rig.record("second"));
    rig.queue.advance(seconds(0.49));
    EXPECT_THAT(rig.answers, IsEmpty());
    rig.queue.advance(seconds(0.01));
    EXPECT_THAT(rig.answers, ElementsAre("first:2/0/-1", "second:2/0/-1"));
    EXPECT_FALSE(rig.query->waiting());
    rig.queue.advance(seconds(5));
    EXPECT_EQ(rig.answers.size(), 2u) << "the second time-out finds nobody waiting";

    rig.cachedLever.reset();
    rig.query->wait(seconds(5), rig.record("long"));
    rig.query->wait(seconds(1), rig.record("short"));
    rig.queue.advance(seconds(1));
    EXPECT_THAT(std::vector(rig.answers.begin() + 2, rig.answers.end()), ElementsAre("long:absent", "short:absent"));
}

// A status frame answers everybody at once; a waiter may ask again from its completion, and its
// new query waits for the next answer.
TEST(LeverQuery, AnswerGoesToEveryWaiterAndEmptiesTheListFirst) {
    Rig rig;
    rig.query->wait(seconds(1.5), [&](std::optional<AgentDeviceStatus> s) {
        rig.answers.push_back("first:" + show(s));
        rig.query->wait(seconds(1.5), rig.record("again"));
    });
    rig.query->wait(seconds(1.5), rig.record("second"));
    const AgentDeviceStatus frame{80, -70, 1, 2, 3, 3, 0};
    rig.query->answer(frame);
    EXPECT_THAT(rig.answers, ElementsAre("first:0/3/80", "second:0/3/80"));
    rig.query->answer(std::nullopt);
    rig.query->answer(frame);
    EXPECT_THAT(rig.answers, ElementsAre("first:0/3/80", "second:0/3/80", "again:absent"));
    // Once it is gone, nothing of it runs.
    rig.query->wait(seconds(1.5), rig.record("lost"));
    rig.query.reset();
    rig.queue.advance(seconds(10));
    EXPECT_EQ(rig.answers.size(), 3u);
    EXPECT_EQ(rig.queue.timerCount(), 0u);
}

}  // namespace
}  // namespace vemlo::test
