#include "ctl/StatusCommand.h"
#include "platform/Json.h"
#include "support/Process.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <cstring>

#include <string>
#include <vector>

namespace vemlo::test {
namespace {

namespace status = ctl::StatusCommand;

struct StatusProcessTest : ::testing::Test {
    TempDir dir;
    TempDir home;

    ProcessResult vemloctl(const std::vector<std::string>& args, const std::string& socketPath) {
        std::vector<std::string> argv = {VEMLO_CTL_BINARY};
        argv.insert(argv.end(), args.begin(), args.end());
        return runProcess(argv, {{"HOME", home.path()}, {"VEMLO_SOCKET", socketPath}});
    }
};

TEST_F(StatusProcessTest, ReportsARunningAgentWithTheKeyboardLinked) {
    AgentProcess agent(dir.path(), home.path(), {{"VEMLO_SIM_LEVER", "0"}});
    ProcessResult r;
    // The simulated keyboard links shortly after the agent starts.
    ASSERT_TRUE(waitFor(
        [&] {
            r = vemloctl({"status"}, agent.socketPath());
            return r.exitCode == 0;
        },
        20s))
        << r.out;
    EXPECT_NE(r.out.find("Agent:      running (control socket " + agent.socketPath() + ")"), std::string::npos);
    EXPECT_NE(r.out.find("Keyboard:   linked (last status report "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Lever:      0 (automatic: tool requests are approved without asking)"), std::string::npos);
    EXPECT_NE(r.out.find("\n  Kimi CLI    not installed\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("All is well."), std::string::npos);
}

TEST_F(StatusProcessTest, TheSoftwareLeverWithoutAKeyboard) {
    AgentProcess agent(dir.path(), home.path(), {{"VEMLO_BLUETOOTH", "off"}});
    ProcessResult set = vemloctl({"lever", "2"}, agent.socketPath());
    ASSERT_EQ(set.exitCode, 0) << set.err;
    EXPECT_NE(set.out.find("Software lever set to 2 (manual: tool requests go back to you)."), std::string::npos);
    EXPECT_NE(set.out.find("the keyboard's next real status report ends it"), std::string::npos);

    ProcessResult shown = vemloctl({"status"}, agent.socketPath());
    EXPECT_EQ(shown.exitCode, 1) << "no keyboard: not all is well";
    EXPECT_NE(shown.out.find("Lever:      2 (manual"), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("Keyboard:   not linked (no status report from the keyboard yet)"), std::string::npos);
    EXPECT_NE(shown.out.find("Not all is well: the keyboard is not linked."), std::string::npos);

    ProcessResult cleared = vemloctl({"lever", "clear"}, agent.socketPath());
    ASSERT_EQ(cleared.exitCode, 0);
    EXPECT_NE(cleared.out.find("Software lever cleared; the lever is now unknown"), std::string::npos) << cleared.out;
    EXPECT_NE(vemloctl({"status"}, agent.socketPath()).out.find("Lever:      unknown"), std::string::npos);
}

TEST_F(StatusProcessTest, NoAgent) {
    const std::string socketPath = dir.file("nobody.sock");
    ProcessResult shown = vemloctl({"status"}, socketPath);
    EXPECT_EQ(shown.exitCode, 1);
    EXPECT_NE(shown.out.find("Agent:      not running: cannot reach " + socketPath), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("Not all is well: the agent is not running."), std::string::npos);
    ProcessResult lever = vemloctl({"lever", "0"}, socketPath);
    EXPECT_EQ(lever.exitCode, 1);
    EXPECT_NE(lever.err.find("cannot reach the agent at " + socketPath), std::string::npos);
}

// A socket another user left or serves at the path is named with its owner, never asked.
TEST_F(StatusProcessTest, SocketOfAnotherUser) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a socket to another user";
    const std::string socketPath = dir.file("agent.sock");
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, socketPath.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::close(fd);
    ASSERT_EQ(::lchown(socketPath.c_str(), 65534, 65534), 0);
    ProcessResult shown = vemloctl({"status"}, socketPath);
    EXPECT_EQ(shown.exitCode, 1);
    EXPECT_NE(shown.out.find("Agent:      not usable: the control socket " + socketPath +
                             " belongs to another user (user id 65534)"),
              std::string::npos)
        << shown.out;
    EXPECT_NE(shown.out.find("Not all is well: the control socket belongs to user id 65534."), std::string::npos);
}

// The live state file's times decide whether the keyboard counts as linked.
TEST(StatusReport, KeyboardLinkAndLedInWords) {
    struct Case {
        const char* name;
        std::string live;  // empty: no file
        bool allWell;
        std::vector<std::string> lines;
    };
    const double now = 1'800'000'000.0;
    const Case cases[] = {
        {"FreshStatus",
         R"({"lightModeTs":1799999998.5,"stateValue":3,"stateTs":1799999990})",
         true,
         {"Keyboard:   linked (last status report 1.5 s ago)", "Last LED:   3 (running a tool), set 10 s ago"}},
        {"StaleStatus",
         R"({"lightModeTs":1799999700,"stateValue":5,"stateTs":1799990000})",
         false,
         {"Keyboard:   not linked (last status report 5 min ago)", "Last LED:   5 (turn finished), set 2 h ago"}},
        {"NoFile", "", false, {"Keyboard:   not linked (no status report", "Last LED:   none sent yet"}},
        {"UnknownState", R"({"lightModeTs":1800000000,"stateValue":42})", true, {"Last LED:   42\n"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        status::Facts f;
        f.socketPath = "/tmp/vemlo.sock";
        f.reply = Json{{"switchState", 1}, {"lightMode", 2}};
        if (!c.live.empty()) f.liveState = json::parseObject(c.live);
        f.now = now;
        status::Report r = status::describe(f);
        std::string all;
        for (const std::string& line : r.lines) all += line + "\n";
        EXPECT_EQ(r.allWell, c.allWell) << all;
        for (const std::string& line : c.lines) EXPECT_NE(all.find(line), std::string::npos) << all;
    }
}

}  // namespace
}  // namespace vemlo::test
