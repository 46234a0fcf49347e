#include "support/Process.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
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
