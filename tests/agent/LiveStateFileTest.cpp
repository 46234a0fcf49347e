#include "agent/LiveStateFile.h"
#include "platform/Files.h"
#include "platform/Json.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <filesystem>

namespace vemlo {
namespace {

struct Home : test::TempDir {
    std::string file() const { return livestate::filePath(path()); }
    void plant(const std::string& text) const {
        files::createDirectories(livestate::folderPath(path()));
        files::atomicWrite(file(), text);
    }
    Json state() const { return json::parse(files::readFile(file()).value_or("null")).value_or(Json("unparsable")); }
    // The keys, and whether each one's value is the one in `expected` (timestamps: only that they are there).
    void expect(const Json& expected) const {
        const Json s = state();
        ASSERT_TRUE(s.is_object()) << s;
        EXPECT_EQ(s.size(), expected.size()) << s;
        for (const auto& [k, v] : expected.items())
            EXPECT_TRUE(s.contains(k) && (v.is_null() || s[k] == v)) << k << " in " << s;
    }
};

TEST(LiveStateFile, WritesMergeIntoWhatIsThere) {
    Home fresh;
    livestate::write(fresh.path(), 3, std::nullopt, std::nullopt, std::nullopt);
    fresh.expect({{"stateValue", 3}, {"stateTs", nullptr}, {"ts", nullptr}});
    EXPECT_EQ(fresh.state()["stateTs"], fresh.state()["ts"]);

    Home mine;
    mine.plant(R"({"note":"mine","stateValue":7,"stateTs":1.5})");
    livestate::write(mine.path(), std::nullopt, 4, 0, 3);
    mine.expect({{"note", "mine"},
                 {"stateValue", 7},
                 {"stateTs", 1.5},
                 {"lightMode", 4},
                 {"switchState", 0},
                 {"workMode", 3},
                 {"lightModeTs", nullptr},
                 {"ts", nullptr}});
    EXPECT_GT(mine.state()["ts"].get<double>(), 1.7e9) << "seconds since 1970, not since boot";

    for (const char* content : {"[1,2]", "not json", "", "{\"a\":"}) {
        Home other;
        other.plant(content);
        livestate::clearSwitchState(other.path());
        EXPECT_EQ(files::readFile(other.file()), content) << "clearing must leave it alone";
        livestate::write(other.path(), std::nullopt, std::nullopt, 2, std::nullopt);
        other.expect({{"switchState", 2}, {"ts", nullptr}});
    }
}

TEST(LiveStateFile, ClearingRemovesOnlyTheLever) {
    Home home;
    livestate::clearSwitchState(home.path());
    EXPECT_FALSE(files::exists(livestate::folderPath(home.path()))) << "clearing creates nothing";
    home.plant(R"({"note":1,"switchState":0,"lightMode":2,"ts":5})");
    livestate::clearSwitchState(home.path());
    home.expect({{"note", 1}, {"lightMode", 2}, {"ts", nullptr}});
    EXPECT_NE(home.state()["ts"], 5);
}

// The file is the agent's alone: a link at its name is neither read nor followed, only replaced by
// a private file, whatever it points at.
TEST(LiveStateFile, ALinkAtItsNameIsReplacedNeverFollowed) {
    for (const bool dangling : {false, true}) {
        Home home;
        test::TempDir elsewhere;
        const std::string target = elsewhere.file(dangling ? "ghost" : "notes.json");
        if (!dangling) files::atomicWrite(target, R"({"note":"private"})");
        files::createDirectories(livestate::folderPath(home.path()));
        std::filesystem::create_symlink(target, home.file());
        livestate::write(home.path(), 3, std::nullopt, std::nullopt, std::nullopt);
        EXPECT_EQ(files::readFile(target),
                  dangling ? std::nullopt : std::optional<std::string>(R"({"note":"private"})"));
        home.expect({{"stateValue", 3}, {"stateTs", nullptr}, {"ts", nullptr}});
        struct stat st {};
        EXPECT_TRUE(::lstat(home.file().c_str(), &st) == 0 && (st.st_mode & 0177777) == (S_IFREG | 0600));
        EXPECT_TRUE(::stat(livestate::folderPath(home.path()).c_str(), &st) == 0 && (st.st_mode & 07777) == 0700);
    }
}

// A home folder the agent cannot write to costs a state update, never the agent.
TEST(LiveStateFile, UnwritableLocationIsSwallowed) {
    Home home;
    files::atomicWrite(home.TempDir::file("Library"), "a file where a folder should be");
    livestate::write(home.path(), 1, 2, 3, 4);
    livestate::clearSwitchState(home.path());
    EXPECT_EQ(files::readFile(home.TempDir::file("Library")), "a file where a folder should be");
}

}  // namespace
}  // namespace vemlo
