#include "leversync/CodexConfigLeverSync.h"

#include "platform/Files.h"
#include "platform/Json.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>
#include <sys/stat.h>
#include <filesystem>
#include <optional>
#include <string>

namespace vemlo {
namespace {

namespace sync = CodexConfigLeverSync;
namespace fs = std::filesystem;

constexpr const char* kOnRequest = R"(approval_policy = "on-request")";

std::string s(const char* text) { return text; }

// Where the line goes, whatever the lever; the proof that nothing else changes is the rewrite's own,
// and fuzz/codex_rewrite checks it.
TEST(CodexText, SetsTheTopLevelKeyToOnRequest) {
    const struct {
        std::string input;
        std::optional<std::string> expected;  // nothing: the file is not written
    } cases[] = {
        {s(kOnRequest) + "\nmodel = \"o3\"\n", std::nullopt},
        {"approval_policy = 'on-request' # asks\n", std::nullopt},
        {"model = \"o3\"\napproval_policy = \"never\" # mine\n[tui]\n", "model = \"o3\"\n" + s(kOnRequest) + "\n[tui]\n"},
        {"approval_policy = \"untrusted\"\nmodel = \"o3\"\n", s(kOnRequest) + "\nmodel = \"o3\"\n"},
        {"model = \"o3\"\n[profiles.fast]\napproval_policy = \"never\"\n",
         "model = \"o3\"\n" + s(kOnRequest) + "\n[profiles.fast]\napproval_policy = \"never\"\n"},
        {"[[mcp_servers.list]]\nname = \"a\"\n", s(kOnRequest) + "\n[[mcp_servers.list]]\nname = \"a\"\n"},
        {"model = \"o3\"", "model = \"o3\"\n" + s(kOnRequest) + "\n"},
        {"", s(kOnRequest) + "\n"},
        {"\xEF\xBB\xBF[tui]\n", "\xEF\xBB\xBF" + s(kOnRequest) + "\n[tui]\n"},  // a byte order mark stays first
        {"\"approval_policy\" = \"never\"\n[tui]\n", s(kOnRequest) + "\n[tui]\n"},
        {"approval_policy = [\n  \"never\",\n]\n", s(kOnRequest) + "\n"},
        {"approval_policy.x = 1\n", std::nullopt},              // a table, not a value
        {"approval_policy = \"never\"\fx = 1\n", std::nullopt},  // not TOML
    };
    for (const auto& c : cases) EXPECT_EQ(sync::rewrite(c.input).text, c.expected) << c.input;
}

// A file left at "never" (here: its rewrite cannot be written) is said loudly while the lever is
// not at 0, since Codex will then not ask; a file that is not TOML is said plainly.
TEST(CodexFile, AFileLeftAtNeverIsSaidLoudly) {
    test::TempDir home;
    fs::create_directories(home.file(".codex"));
    const std::string config = sync::configPath(home.path());
    const auto run = [&](bool lever0, const std::string& text, rlim_t sizeLimit) {
        EXPECT_TRUE(files::atomicWrite(config, text));
        int out[2];
        EXPECT_EQ(::pipe(out), 0);
        const pid_t child = ::fork();
        if (child == 0) {
            // The temporary file may not grow beyond the old text: the write fails, whoever runs the test.
            ::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{sizeLimit, sizeLimit};
            ::setrlimit(RLIMIT_FSIZE, &limit);
            ::dup2(out[1], STDERR_FILENO);
            sync::apply(lever0, home.path(), [&](std::string_view, const Json& details) {
                (void)files::writeAll(out[1], details.value("reason", "?") + "\n");
            });
            ::_exit(0);
        }
        ::close(out[1]);
        std::string said;
        char buffer[4096];
        for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) said.append(buffer, static_cast<size_t>(n));
        ::close(out[0]);
        ::waitpid(child, nullptr, 0);
        return said;
    };
    const std::string never = "approval_policy = \"never\"\n";
    for (bool lever0 : {true, false}) {
        const std::string said = run(lever0, never, never.size());
        EXPECT_NE(said.find("write_failed"), std::string::npos) << said;
        EXPECT_EQ(said.find("仍为 \"never\"") != std::string::npos, !lever0) << said;
        EXPECT_EQ(files::readFile(config), never);
    }
    const std::string broken = run(false, never + "x = \"\\q\"\n", RLIM_INFINITY);
    EXPECT_NE(broken.find("（input_not_toml: line 2: "), std::string::npos) << broken;
    EXPECT_EQ(broken.find("仍为"), std::string::npos) << broken;
    EXPECT_EQ(run(false, never + "[x]\napproval_policy.y = 1\n", RLIM_INFINITY), "");
    EXPECT_EQ(files::readFile(config), s(kOnRequest) + "\n[x]\napproval_policy.y = 1\n");
}

TEST(CodexFile, AMissingFileIsNeverCreatedNorAnUnchangedOneTouched) {
    test::TempDir home;
    const std::string config = sync::configPath(home.path());
    sync::apply(true, home.path());
    sync::apply(false, home.path());
    EXPECT_TRUE(fs::is_empty(home.path())) << "neither .codex nor our lock folder belongs here";
    fs::create_directories(home.file(".codex"));
    ASSERT_TRUE(files::atomicWrite(config, s(kOnRequest) + "\n[tui]\n"));
    const timespec past[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, config.c_str(), past, 0), 0);
    sync::apply(true, home.path());
    struct stat st {};
    ASSERT_EQ(::stat(config.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1000000000);
}

}  // namespace
}  // namespace vemlo
