#include "agent/LiveStateWriter.h"
#include "platform/Files.h"
#include "platform/Json.h"
#include "support/ManualMainQueue.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <memory>

namespace vemlo::test {
namespace {

struct Rig {
    ManualMainQueue queue;
    TempDir home;
    std::unique_ptr<LiveStateWriter> writer = std::make_unique<LiveStateWriter>(queue, home.path());
    Json state() const {
        return json::parseObject(files::readFile(livestate::filePath(home.path())).value_or("")).value_or(Json());
    }
};

// A burst of changes is written once, kDelay after the first, with every change in it; gathered
// changes are never lost: clearing writes them first, and so does going away.
TEST(LiveStateWriter, GathersABurstIntoOneWriteAndLosesNothing) {
    Rig rig;
    rig.writer->write(3, std::nullopt, std::nullopt, std::nullopt);
    rig.queue.advance(LiveStateWriter::kDelay / 2);
    rig.writer->write(std::nullopt, 4, 0, 1);
    rig.writer->write(5, std::nullopt, std::nullopt, std::nullopt);
    rig.queue.advance(LiveStateWriter::kDelay / 2 - MainQueue::Duration(1));
    EXPECT_TRUE(rig.state().is_null()) << "nothing written before the delay";
    rig.queue.advance(MainQueue::Duration(1));
    const Json state = rig.state();
    EXPECT_EQ(Json({state["stateValue"], state["lightMode"], state["switchState"], state["workMode"]}),
              Json({5, 4, 0, 1}));
    rig.writer->write(std::nullopt, 7, 2, std::nullopt);  // a new round
    EXPECT_EQ(rig.state()["lightMode"], 4);
    rig.writer->clearSwitchState();
    EXPECT_FALSE(rig.state().contains("switchState"));
    EXPECT_EQ(rig.state()["lightMode"], 7);
    rig.writer->write(6, std::nullopt, std::nullopt, std::nullopt);
    rig.writer.reset();
    EXPECT_EQ(rig.state()["stateValue"], 6);
    EXPECT_EQ(rig.queue.timerCount(), 0u);
}

}  // namespace
}  // namespace vemlo::test
