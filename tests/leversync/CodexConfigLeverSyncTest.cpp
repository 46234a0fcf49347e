#include "leversync/CodexConfigLeverSync.h"

#include "platform/Files.h"
#include "support/TempDir.h"
#include "support/TomlCheck.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <filesystem>
#include <optional>
#include <string>

namespace vemlo {
namespace {

namespace sync = CodexConfigLeverSync;
namespace fs = std::filesystem;

constexpr const char* kNever = R"(approval_policy = "never")";
constexpr const char* kOnRequest = R"(approval_policy = "on-request")";

std::string s(const char* text) { return text; }

// The exact line and where it goes; fuzz/codex_rewrite checks that every other line stays.
TEST(CodexText, RewritesTheTopLevelKeyOnly) {
    const struct {
        std::string input;
        bool lever0;
        std::optional<std::string> expected;  // nothing: the file is not written
    } cases[] = {
        {s(kNever) + "\nmodel = \"o3\"\n", true, std::nullopt},
        {s(kOnRequest) + "\n", false, std::nullopt},
        {"model = \"o3\"\napproval_policy = \"on-request\" # keep asking\n[tui]\n", true,
         "model = \"o3\"\n" + s(kNever) + "\n[tui]\n"},
        {"approval_policy = \"untrusted\"\nmodel = \"o3\"\n", false, s(kOnRequest) + "\nmodel = \"o3\"\n"},
        {"model = \"o3\"\n[profiles.fast]\napproval_policy = \"never\"\n", false,
         "model = \"o3\"\n" + s(kOnRequest) + "\n[profiles.fast]\napproval_policy = \"never\"\n"},
        {"[[mcp_servers.list]]\nname = \"a\"\n", true, s(kNever) + "\n[[mcp_servers.list]]\nname = \"a\"\n"},
        {"model = \"o3\"\n", false, "model = \"o3\"\n\n" + s(kOnRequest)},
        {"", true, "\n" + s(kNever)},
        {"model = \"o3\"\r\napproval_policy = \"never\"\r\n[tui]\r\nx = 1\r\n", false,
         "model = \"o3\"\n\n" + s(kOnRequest) + "\n\n[tui]\n\nx = 1\n\n"},
        {"a = 1\x0b"
         "b = 2\x0c"
         "approval_policy = 'x'\re = 5",
         true, "a = 1\nb = 2\n" + s(kNever) + "\ne = 5"},
        {"allowed = [\n  [\"a\", \"b\"],\n]\napproval_policy = \"on-request\"\n[tui]\n", true,
         "allowed = [\n  [\"a\", \"b\"],\n]\n" + s(kNever) + "\n[tui]\n"},
        {"a = \"\"\"\n[x]\n\"\"\"\n[t]\n", true, "a = \"\"\"\n[x]\n\"\"\"\n" + s(kNever) + "\n[t]\n"},
        {"\"approval_policy\" = \"on-request\"\n[tui]\n", true, std::nullopt},
    };
    for (const auto& c : cases) {
        const std::optional<std::string> out = sync::rewrite(c.input, c.lever0);
        EXPECT_EQ(out, c.expected) << c.input;
        EXPECT_TRUE(!test::isValidToml(c.input) || test::isValidToml(out.value_or(c.input))) << c.input;
    }
}

TEST(CodexFile, AMissingFileIsNeverCreatedNorAnUnchangedOneTouched) {
    test::TempDir home;
    const std::string config = sync::configPath(home.path());
    sync::apply(true, home.path());
    sync::apply(false, home.path());
    EXPECT_TRUE(fs::is_empty(home.path())) << "neither .codex nor our lock folder belongs here";
    fs::create_directories(home.file(".codex"));
    ASSERT_TRUE(files::atomicWrite(config, s(kNever) + "\n[tui]\n"));
    const timespec past[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, config.c_str(), past, 0), 0);
    sync::apply(true, home.path());
    struct stat st {};
    ASSERT_EQ(::stat(config.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1000000000);
}

}  // namespace
}  // namespace vemlo
