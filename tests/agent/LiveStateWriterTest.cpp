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

    std::optional<std::string> text() const { return files::readFile(livestate::filePath(home.path())); }
    Json state() const { return json::parseObject(text().value_or("")).value_or(Json::object()); }
};

// A burst of changes is written once, kDelay after the first, with every change in it.
TEST(LiveStateWriter, GathersABurstIntoOneWrite) {
    Rig rig;
    rig.writer->write(3, std::nullopt, std::nullopt, std::nullopt);
    rig.queue.advance(LiveStateWriter::kDelay / 2);
    rig.writer->write(std::nullopt, 4, 0, 1);
    rig.writer->write(5, std::nullopt, std::nullopt, std::nullopt);
    rig.queue.advance(LiveStateWriter::kDelay / 2 - MainQueue::Duration(1));
    EXPECT_FALSE(rig.text()) << "nothing written before the delay";
    rig.queue.advance(MainQueue::Duration(1));
    Json state = rig.state();
    EXPECT_EQ(state["stateValue"], 5);
    EXPECT_EQ(state["lightMode"], 4);
    EXPECT_EQ(state["switchState"], 0);
    EXPECT_EQ(state["workMode"], 1);
    EXPECT_GE(state["ts"].get<double>(), state["stateTs"].get<double>());

    // The next change starts a new round.
    rig.writer->write(std::nullopt, std::nullopt, 2, std::nullopt);
    EXPECT_EQ(rig.state()["switchState"], 0);
    rig.queue.advance(LiveStateWriter::kDelay);
    EXPECT_EQ(rig.state()["switchState"], 2);
}

// Gathered changes are never lost: clearing writes them first, and so does going away.
TEST(LiveStateWriter, GatheredChangesAreWrittenBeforeClearingAndAtTheEnd) {
    Rig rig;
    rig.writer->write(std::nullopt, 2, 1, std::nullopt);
    rig.writer->clearSwitchState();
    Json state = rig.state();
    EXPECT_EQ(state["lightMode"], 2);
    EXPECT_FALSE(state.contains("switchState"));

    rig.writer->write(6, std::nullopt, std::nullopt, std::nullopt);
    rig.writer.reset();
    EXPECT_EQ(rig.state()["stateValue"], 6);
    EXPECT_EQ(rig.queue.timerCount(), 0u);
    rig.queue.advance(seconds(1));  // its timer, had it survived, would find no writer
}

}  // namespace
}  // namespace vemlo::test
