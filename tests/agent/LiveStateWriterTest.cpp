#include "agent/LiveStateWriter.h"
#include "platform/Files.h"
#include "platform/Json.h"
#include "support/ManualMainQueue.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

namespace vemlo::test {
namespace {

// A burst of changes is written once, kDelay after the first, with every change in it; gathered
// changes are never lost: clearing writes them first, and so does going away.
TEST(LiveStateWriter, GathersABurstIntoOneWriteAndLosesNothing) {
    ManualMainQueue queue;
    TempDir home;
    auto writer = std::make_unique<LiveStateWriter>(queue, home.path());
    auto state = [&] { return json::parseObject(files::readFile(livestate::filePath(home.path())).value_or("")); };
    writer->write(3, std::nullopt, std::nullopt, std::nullopt);
    queue.advance(LiveStateWriter::kDelay / 2);
    writer->write(std::nullopt, 4, 0, 1);
    writer->write(5, std::nullopt, std::nullopt, std::nullopt);
    queue.advance(LiveStateWriter::kDelay / 2 - MainQueue::Duration(1));
    EXPECT_FALSE(state()) << "nothing written before the delay";
    queue.advance(MainQueue::Duration(1));
    Json s = state().value_or(Json());
    EXPECT_EQ(Json({s["stateValue"], s["lightMode"], s["switchState"], s["workMode"]}), Json({5, 4, 0, 1}));
    writer->write(std::nullopt, 7, 2, std::nullopt);  // a new round
    EXPECT_EQ(state().value()["lightMode"], 4);
    writer->clearSwitchState();
    EXPECT_FALSE(state().value().contains("switchState"));
    EXPECT_EQ(state().value()["lightMode"], 7);
    writer->write(6, std::nullopt, std::nullopt, std::nullopt);
    writer.reset();
    EXPECT_EQ(state().value()["stateValue"], 6);
    EXPECT_EQ(queue.timerCount(), 0u);
}

}  // namespace
}  // namespace vemlo::test
