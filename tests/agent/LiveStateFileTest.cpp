#include "agent/LiveStateFile.h"
#include "platform/Files.h"
#include "platform/Json.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <filesystem>
#include <functional>

namespace vemlo {
namespace {

// The file's members after `act` on a home where the file holds `before` (absent: no file); a null
// member need only be there (timestamps).
TEST(LiveStateFile, WritesMergeIntoWhatIsThereAndClearingTakesOnlyTheLever) {
    const auto write = [](auto v, auto l, auto s, auto w) {
        return [=](const std::string& home) { livestate::write(home, v, l, s, w); };
    };
    const auto clear = [](const std::string& home) { livestate::clearSwitchState(home); };
    const std::optional<int> none;
    const struct {
        std::optional<std::string> before;
        std::function<void(const std::string&)> act;
        std::string after;  // empty: the file is as it was before
    } cases[] = {
        {std::nullopt, write(3, none, none, none), R"({"stateValue":3,"stateTs":null,"ts":null})"},
        {R"({"note":"mine","stateValue":7,"stateTs":1.5})", write(none, 4, 0, 3),
         R"({"note":"mine","stateValue":7,"stateTs":1.5,"lightMode":4,"switchState":0,"workMode":3,"lightModeTs":null,"ts":null})"},
        {"[1,2]", write(none, none, 2, none), R"({"switchState":2,"ts":null})"},
        {R"({"note":1,"switchState":0,"lightMode":2,"ts":5})", clear, R"({"note":1,"lightMode":2,"ts":null})"},
        {"not json", clear, ""}};
    for (const auto& c : cases) {
        test::TempDir home;
        const std::string file = livestate::filePath(home.path());
        if (c.before) files::createDirectories(livestate::folderPath(home.path())), files::atomicWrite(file, *c.before);
        c.act(home.path());
        const auto text = files::readFile(file);
        if (c.after.empty()) {
            EXPECT_EQ(text, c.before);
            continue;
        }
        const Json s = json::parse(text.value_or("")).value_or(Json());
        const Json after = json::parse(c.after).value();
        ASSERT_TRUE(s.is_object() && s.size() == after.size()) << s;
        for (const auto& [k, v] : after.items()) EXPECT_TRUE(s.contains(k) && (v.is_null() || s[k] == v)) << k << s;
        EXPECT_GT(s["ts"].get<double>(), 1.7e9) << "seconds since 1970, not since boot";
        EXPECT_TRUE(c.before || s["stateTs"] == s["ts"]) << "one time for a change";
    }
    test::TempDir home;
    livestate::clearSwitchState(home.path());
    EXPECT_FALSE(files::exists(livestate::folderPath(home.path()))) << "clearing creates nothing";
    // A home the agent cannot write to costs a state update, never the agent.
    files::atomicWrite(home.file("Library"), "a file where a folder should be");
    livestate::write(home.path(), 1, 2, 3, 4);
    EXPECT_EQ(files::readFile(home.file("Library")), "a file where a folder should be");
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
        EXPECT_EQ(json::parse(files::readFile(file).value_or("")).value_or(Json()).value("stateValue", 0), 3);
        struct stat st {};
        EXPECT_TRUE(::lstat(file.c_str(), &st) == 0 && (st.st_mode & 0177777) == (S_IFREG | 0600));
        EXPECT_TRUE(::stat(livestate::folderPath(home.path()).c_str(), &st) == 0 && (st.st_mode & 07777) == 0700);
    }
}

}  // namespace
}  // namespace vemlo
