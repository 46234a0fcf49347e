#include "agent/LiveStateFile.h"
#include "platform/Files.h"
#include "platform/Json.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <filesystem>

namespace vemlo {
namespace {

Json stateIn(const std::string& home) {
    return json::parse(files::readFile(livestate::filePath(home)).value_or("")).value_or(Json());
}

// Writes merge into what is there, clearing takes only the lever; what is not an object is replaced
// by a write and left alone by clearing, which never creates anything.
TEST(LiveStateFile, WritesMergeIntoWhatIsThereAndClearingTakesOnlyTheLever) {
    test::TempDir home;
    const std::string file = livestate::filePath(home.path());
    livestate::clearSwitchState(home.path());
    EXPECT_FALSE(files::exists(livestate::folderPath(home.path())));
    files::createDirectories(livestate::folderPath(home.path()));
    files::atomicWrite(file, R"({"note":"mine","stateValue":7,"stateTs":1.5,"switchState":1})");
    livestate::write(home.path(), std::nullopt, 4, 0, 3);
    Json s = stateIn(home.path());
    EXPECT_TRUE(s.size() == 8 && s["note"] == "mine" && s["stateValue"] == 7 && s["stateTs"] == 1.5 &&
                s["lightMode"] == 4 && s["switchState"] == 0 && s["workMode"] == 3 && s.contains("lightModeTs"))
        << s;
    EXPECT_GT(s["ts"].get<double>(), 1.7e9) << "seconds since 1970, not since boot";
    livestate::clearSwitchState(home.path());
    s = stateIn(home.path());
    EXPECT_TRUE(s.size() == 7 && !s.contains("switchState") && s["lightMode"] == 4) << s;
    for (const char* content : {"[1,2]", "not json"}) {
        files::atomicWrite(file, content);
        livestate::clearSwitchState(home.path());
        EXPECT_EQ(files::readFile(file), content);
        livestate::write(home.path(), 3, std::nullopt, std::nullopt, std::nullopt);
        s = stateIn(home.path());
        EXPECT_TRUE(s.size() == 3 && s["stateValue"] == 3 && s["stateTs"] == s["ts"]) << s;
    }
    // A home the agent cannot write to costs a state update, never the agent.
    test::TempDir other;
    files::atomicWrite(other.file("Library"), "a file where a folder should be");
    livestate::write(other.path(), 1, 2, 3, 4);
    EXPECT_EQ(files::readFile(other.file("Library")), "a file where a folder should be");
}

// The file is the agent's alone: a link at its name is neither read nor followed, only replaced by
// a private file, whatever it points at.
TEST(LiveStateFile, ALinkAtItsNameIsReplacedNeverFollowed) {
    for (const bool dangling : {false, true}) {
        test::TempDir home, elsewhere;
        const std::string target = elsewhere.file(dangling ? "ghost" : "notes.json");
        const std::string file = livestate::filePath(home.path());
        if (!dangling) files::atomicWrite(target, R"({"note":"private"})");
        files::createDirectories(livestate::folderPath(home.path()));
        std::filesystem::create_symlink(target, file);
        livestate::write(home.path(), 3, std::nullopt, std::nullopt, std::nullopt);
        EXPECT_EQ(files::readFile(target),
                  dangling ? std::nullopt : std::optional<std::string>(R"({"note":"private"})"));
        EXPECT_EQ(stateIn(home.path())["stateValue"], 3);
        struct stat st {};
        EXPECT_TRUE(::lstat(file.c_str(), &st) == 0 && (st.st_mode & 0177777) == (S_IFREG | 0600));
        EXPECT_TRUE(::stat(livestate::folderPath(home.path()).c_str(), &st) == 0 && (st.st_mode & 07777) == 0700);
    }
}

}  // namespace
}  // namespace vemlo
