#include "support/Process.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <sys/stat.h>
#include <atomic>
#include <cerrno>
#include <filesystem>

namespace vemlo::test {
namespace {

struct AgentProcessTest : ::testing::Test {
    TempDir dir, home;
    const Env off{{"HOME", home.path()}, {"VEMLO_BLUETOOTH", "off"}, {"VEMLO_SOCKET", dir.file("env.sock")}};
    const std::string nop = R"({"cmd":"nop"})", nopReply = "{\"error\":\"unknown cmd: nop\"}\n";
};

// The agent takes `--socket PATH` and nothing else: anything it does not know is refused before a
// second agent could take the socket of the one already running. An agent runs until it is stopped.
TEST_F(AgentProcessTest, CommandLine) {
    const std::string usage = "Usage: vemloconfig-agent [--socket PATH]\n", agent = "agent";
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{}, agent},
        {{"--socket", "x.sock"}, agent},
        {{"--version"}, "vemloconfig-agent " VEMLO_PROJECT_VERSION "\n"},
        {{"--socket"}, "2"},
        {{"--socket", "a.sock", "--socket", "b.sock"}, "2"},
        {{"--socket", "x.sock", "hook", "Stop"}, "2"}};
    for (const auto& [args, expected] : cases) {
        std::vector<std::string> argv{VEMLO_AGENT_BINARY};
        for (const auto& a : args) argv.push_back(a.ends_with(".sock") && a[0] != '-' ? dir.file(a) : a);
        SCOPED_TRACE(::testing::PrintToString(args));
        BackgroundProcess p(argv, off, dir.file("out"), -1, dir.file("err"));
        if (expected == agent) {
            const std::string socket = dir.file(args.empty() ? "env.sock" : "x.sock");
            ASSERT_TRUE(p.waitForOutput("监听 Unix socket: " + socket + "\n")) << p.output();
            EXPECT_EQ(socketRequest(socket, nop), nopReply);
            EXPECT_EQ(p.stop(), -SIGTERM);
            std::filesystem::remove(socket);
        } else {
            EXPECT_EQ(p.waitExit(), expected == "2" ? 2 : 0);
            const std::string out = p.output(), err = files::readFile(dir.file("err")).value_or("");
            EXPECT_TRUE(expected == "2" ? out.empty() && err.starts_with(usage) : out.starts_with(expected))
                << out << err;
            EXPECT_FALSE(files::exists(dir.file("env.sock")) || files::exists(dir.file("x.sock"))) << "no agent";
        }
        std::filesystem::remove(dir.file("err"));
    }
    // A backend it does not know is refused, not taken for the real keyboard.
    Env bogus = off;
    bogus["VEMLO_BLUETOOTH"] = "bogus";
    BackgroundProcess p({VEMLO_AGENT_BINARY}, bogus, dir.file("out"), -1, dir.file("err"));
    EXPECT_EQ(p.waitExit(), 2);
    EXPECT_EQ(
        files::readFile(dir.file("err")),
        "vemloconfig-agent: VEMLO_BLUETOOTH=bogus names no Bluetooth backend: use bluez (the default), sim or off\n");
}

// Another local user who can reach the socket gets no reply, and the agent goes on answering us.
TEST_F(AgentProcessTest, AClientOfAnotherUserIsClosedWithoutAReply) {
    if (!canActAsAnotherUser()) GTEST_SKIP() << kNeedsRoot;
    AgentProcess agent(dir.path(), home.path(), {{"VEMLO_SIM_DELAY_MS", "0"}});
    ASSERT_TRUE(agent.waitForLog("通知通道已订阅"));
    // Open to everyone on the file system, so that only the agent's own check can turn the client away.
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755) | ::chmod(agent.socketPath().c_str(), 0666), 0);
    sockaddr_un addr{AF_UNIX, {}};
    std::strncpy(addr.sun_path, agent.socketPath().c_str(), sizeof addr.sun_path - 1);
    const pid_t pid = ::fork();
    if (pid == 0) {  // system calls only: the test process has threads
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) ::_exit(2);
        const timeval wait{10, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        char request[] = "{\"cmd\":\"status\"}\n", reply[64];
        (void)!::send(fd, request, sizeof request - 1, MSG_NOSIGNAL);
        const ssize_t n = ::read(fd, reply, sizeof reply);
        ::_exit(n == 0 || (n < 0 && errno == ECONNRESET) ? 0 : 1);  // closed without a byte
    }
    int status = -1;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "exit " << WEXITSTATUS(status);
    EXPECT_EQ(socketRequest(agent.socketPath(), R"({"cmd":"status"})"), "{\"switchState\":1,\"lightMode\":2}\n");
}

// The simulated lever follows its file; a file it cannot use is said once in the log and leaves
// the lever where it was. A missing file says nothing.
TEST_F(AgentProcessTest, SimulatedLeverFile) {
    const std::string file = dir.file("lever"), status = R"({"cmd":"status"})";
    AgentProcess agent(dir.path(), home.path(), {{"VEMLO_SIM_DELAY_MS", "0"}, {"VEMLO_SIM_LEVER_FILE", file}});
    ASSERT_TRUE(agent.waitForLog("通知通道已订阅"));
    const std::pair<std::string, std::string> steps[] = {{"0\n", "{\"switchState\":0,\"lightMode\":2}\n"},
                                                         {"zero\n", "{\"switchState\":0,\"lightMode\":2}\n"},
                                                         {"256", "{\"switchState\":0,\"lightMode\":2}\n"},
                                                         {"3", "{\"switchState\":3,\"lightMode\":2}\n"}};
    for (const auto& [text, reply] : steps) {
        ASSERT_TRUE(files::atomicWrite(file, text));
        EXPECT_EQ(socketRequest(agent.socketPath(), status), reply) << text;
    }
    const std::string unusable = "simulated keyboard: the lever file " + file + " does not hold a number from 0 to 255";
    EXPECT_EQ(agent.countInLog(unusable + "; lever stays at 0\n"), 1u) << "said once while the problem stays";
    std::filesystem::remove(file);
    std::filesystem::create_directory(file);
    EXPECT_EQ(socketRequest(agent.socketPath(), status), "{\"switchState\":3,\"lightMode\":2}\n");
    EXPECT_TRUE(agent.waitForLog("simulated keyboard: the lever file " + file + " cannot be read: "));
}

// The simulated keyboard end to end: a silent client does not hold up others, clients that leave
// early do not break the agent, and under many clients at once every request gets exactly its reply
// (none for a plain state or what is not a request). A second agent does not take the socket.
TEST_F(AgentProcessTest, SilentVanishingAndConcurrentClients) {
    AgentProcess agent(dir.path(), home.path(), {{"VEMLO_SIM_DELAY_MS", "0"}, {"VEMLO_SIM_LEVER", "0"}});
    ASSERT_TRUE(agent.waitForLog("通知通道已订阅"));
    const std::string status = R"({"cmd":"status"})", answer = "{\"switchState\":0,\"lightMode\":2}\n";
    auto connectTo = [&] {
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{AF_UNIX, {}};
        std::strncpy(addr.sun_path, agent.socketPath().c_str(), sizeof addr.sun_path - 1);
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        return fd;
    };
    const int silent = connectTo();  // connected, and silent throughout
    const std::pair<std::string, std::string> mix[] = {
        {status, answer},  {R"({"cmd":"state","value":3})", "{\"ok\":true}\n"},
        {nop, nopReply},   {"4", ""},
        {"{\"cmd\":", ""}, {R"({"cmd":"status","pad":")" + std::string(1100, 'x') + R"("})", ""},
        {"", ""},          {"", "leave"}};
    std::atomic<int> next{0}, wrong{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < 32; ++t) {
        clients.emplace_back([&] {
            for (int i = next++; i < 5000; i = next++) {
                const auto& [request, expected] = mix[size_t(i) % std::size(mix)];
                if (expected != "leave") {
                    wrong += socketRequest(agent.socketPath(), request) != expected;
                } else {  // leaves before its reply is written
                    int fd = connectTo();
                    (void)::write(fd, R"({"cmd":"permission"})", 20);
                    ::close(fd);
                }
            }
        });
    }
    for (auto& c : clients) c.join();
    ::close(silent);
    EXPECT_EQ(wrong, 0);
    // A second agent on the same socket says why and exits 1, and leaves the first one its socket.
    BackgroundProcess second({VEMLO_AGENT_BINARY, "--socket", agent.socketPath()}, off, dir.file("second.log"));
    EXPECT_EQ(second.waitExit(), 1);
    EXPECT_THAT(second.output(), ::testing::HasSubstr("] 另一个 agent 已在监听 Unix socket: " + agent.socketPath()));
    EXPECT_EQ(socketRequest(agent.socketPath(), status), answer);
    EXPECT_TRUE(agent.waitForLog("LED 状态 4: ")) << "a plain state is acted on";
}

// Agents started together on a stale socket: exactly one serves it, each other one says why and
// exits 1. Without the lock around check, unlink and bind, two could both unlink and bind.
TEST_F(AgentProcessTest, OfAgentsStartedTogetherExactlyOneServesTheSocket) {
    const std::string socket = dir.file("agent.sock");
    for (int round = 0; round < 8; ++round) {
        SCOPED_TRACE(round);
        int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{AF_UNIX, {}};
        std::strncpy(addr.sun_path, socket.c_str(), sizeof addr.sun_path - 1);
        ASSERT_EQ(::bind(stale, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        ::close(stale);
        std::vector<std::unique_ptr<BackgroundProcess>> agents;
        for (int i = 0; i < 4; ++i)
            agents.push_back(std::make_unique<BackgroundProcess>(
                std::vector<std::string>{VEMLO_AGENT_BINARY, "--socket", socket}, off,
                dir.file("agent" + std::to_string(i) + ".log")));
        const auto running = [&] {
            return std::count_if(agents.begin(), agents.end(), [](auto& a) { return a->running(); });
        };
        ASSERT_TRUE(waitFor([&] { return running() <= 1; }, 20s)) << "two agents run, one without its socket";
        ASSERT_EQ(running(), 1);
        EXPECT_EQ(socketRequest(socket, nop), nopReply);
        for (auto& a : agents) {
            if (a->running()) continue;
            EXPECT_EQ(a->waitExit(), 1);
            EXPECT_THAT(a->output(), ::testing::ContainsRegex("另一个 agent (已在监听|正在启动，持有) Unix socket"));
        }
        agents.clear();
        std::filesystem::remove(socket);
    }
}

// Kimi's and Cursor's files follow the lever as it moves, with no hook running: a session started
// after the move reads the new position.
TEST_F(AgentProcessTest, ConfigurationsFollowTheLeverWhenItMoves) {
    files::createDirectories(home.file(".kimi"));
    files::atomicWrite(home.file(".kimi/config.toml"), "model = \"k2\"\ndefault_yolo = false\n");
    const std::string kimi = home.file(".kimi/config.toml"), cursor = home.file(".cursor/cli-config.json");
    const auto yolo = [&](const char* value) {
        return waitFor([&] { return files::readFile(kimi).value_or("").find(std::string("default_yolo = ") + value) !=
                                    std::string::npos; });
    };
    AgentProcess agent(dir.path(), home.path(), {{"VEMLO_SIM_LEVER", "0"}});
    EXPECT_TRUE(yolo("true"));
    EXPECT_TRUE(waitFor([&] { return files::exists(cursor); }));
    ASSERT_TRUE(files::atomicWrite(paths::simLeverFile(home.path()), "1\n"));
    EXPECT_TRUE(yolo("false"));
    EXPECT_TRUE(waitFor([&] { return !files::exists(cursor); })) << "the relaxation's file is taken away again";
}

}  // namespace
}  // namespace vemlo::test
