#include "agent/LiveStateFile.h"
#include "platform/Files.h"
#include "platform/Json.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <filesystem>
#include <optional>

namespace vemlo {
namespace {

Json readState(const std::string& home) {
    auto text = files::readFile(livestate::filePath(home));
    if (!text) return nullptr;
    return json::parse(*text).value_or(Json("unparsable"));
}

std::vector<std::string> keys(const Json& object) {
    std::vector<std::string> out;
    for (auto it = object.begin(); it != object.end(); ++it) out.push_back(it.key());
    std::sort(out.begin(), out.end());
    return out;
}

TEST(LiveStateFile, FirstWriteCreatesFolderAndOnlyItsKeys) {
    test::TempDir home;
    livestate::write(home.path(), 3, std::nullopt, std::nullopt, std::nullopt);
    Json state = readState(home.path());
    EXPECT_EQ(keys(state), (std::vector<std::string>{"stateTs", "stateValue", "ts"}));
    EXPECT_EQ(state["stateValue"], 3);
    EXPECT_EQ(state["stateTs"], state["ts"]);
}

TEST(LiveStateFile, StatusWriteKeepsStateValueAndForeignKeys) {
    test::TempDir home;
    files::createDirectories(livestate::folderPath(home.path()));
    files::atomicWrite(livestate::filePath(home.path()), R"({"note":"mine","stateValue":7,"stateTs":1.5})");
    livestate::write(home.path(), std::nullopt, 4, 0, 3);
    Json state = readState(home.path());
    EXPECT_EQ(state["note"], "mine");
    EXPECT_EQ(state["stateValue"], 7);
    EXPECT_EQ(state["stateTs"], 1.5);
    EXPECT_EQ(state["lightMode"], 4);
    EXPECT_EQ(state["switchState"], 0);
    EXPECT_EQ(state["workMode"], 3);
    EXPECT_EQ(state["lightModeTs"], state["ts"]);
    EXPECT_GT(state["ts"].get<double>(), 1.7e9);  // seconds since 1970, not since boot
}

TEST(LiveStateFile, NonObjectFiles) {
    for (const char* content : {"[1,2]", "not json", "", "\"text\"", "{\"a\":"}) {
        test::TempDir home;
        files::createDirectories(livestate::folderPath(home.path()));
        files::atomicWrite(livestate::filePath(home.path()), content);
        livestate::clearSwitchState(home.path());
        EXPECT_EQ(files::readFile(livestate::filePath(home.path())), content) << "clearing must leave it alone";
        livestate::write(home.path(), std::nullopt, std::nullopt, 2, std::nullopt);
        EXPECT_EQ(keys(readState(home.path())), (std::vector<std::string>{"switchState", "ts"})) << content;
    }
}

TEST(LiveStateFile, ClearingRemovesOnlyTheLever) {
    test::TempDir home;
    livestate::clearSwitchState(home.path());
    EXPECT_FALSE(files::exists(livestate::folderPath(home.path()))) << "clearing creates nothing";

    files::createDirectories(livestate::folderPath(home.path()));
    files::atomicWrite(livestate::filePath(home.path()), R"({"note":1,"switchState":0,"lightMode":2,"ts":5})");
    livestate::clearSwitchState(home.path());
    Json state = readState(home.path());
    EXPECT_EQ(keys(state), (std::vector<std::string>{"lightMode", "note", "ts"}));
    EXPECT_NE(state["ts"], 5);
}

// The file is the agent's alone: a link at its name is neither read nor followed, only replaced by
// a private file, whatever it points at.
TEST(LiveStateFile, ALinkAtItsNameIsReplacedNeverFollowed) {
    for (const bool dangling : {false, true}) {
        test::TempDir home;
        test::TempDir elsewhere;
        const std::string target = elsewhere.file(dangling ? "ghost" : "notes.json");
        if (!dangling) {
            ASSERT_TRUE(files::atomicWrite(target, R"({"note":"private"})"));
        }
        files::createDirectories(livestate::folderPath(home.path()));
        std::filesystem::create_symlink(target, livestate::filePath(home.path()));

        livestate::write(home.path(), 3, std::nullopt, std::nullopt, std::nullopt);
        EXPECT_EQ(files::readFile(target),
                  dangling ? std::nullopt : std::optional<std::string>(R"({"note":"private"})"));
        EXPECT_FALSE(std::filesystem::is_symlink(livestate::filePath(home.path())));
        EXPECT_EQ(keys(readState(home.path())), (std::vector<std::string>{"stateTs", "stateValue", "ts"}));
        struct stat st {};
        ASSERT_EQ(::stat(livestate::filePath(home.path()).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u);
        ASSERT_EQ(::stat(livestate::folderPath(home.path()).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0700u);
    }
}

// A home folder the agent cannot write to costs a state update, never the agent.
TEST(LiveStateFile, UnwritableLocationIsSwallowed) {
    test::TempDir home;
    files::atomicWrite(home.file("Library"), "a file where a folder should be");
    livestate::write(home.path(), 1, 2, 3, 4);
    livestate::clearSwitchState(home.path());
    EXPECT_EQ(files::readFile(home.file("Library")), "a file where a folder should be");
}

}  // namespace
}  // namespace vemlo
