#include "agent/LiveStateFile.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "support/Process.h"
#include "support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

namespace vemlo::test {
namespace {

using ::testing::HasSubstr;

Json liveState(const std::string& home) {
    return json::parseObject(files::readFile(livestate::filePath(home)).value_or("")).value_or(Json::object());
}

struct AgentProcessTest : ::testing::Test {
    TempDir dir;
    TempDir home;
    const Env off{{"HOME", home.path()}, {"VEMLO_BLUETOOTH", "off"}, {"VEMLO_SOCKET", dir.file("env.sock")}};
    const std::string nop = R"({"cmd":"nop"})", nopReply = "{\"error\":\"unknown cmd: nop\"}\n";
};

// The agent takes `--socket PATH` and nothing else: anything it does not know is refused before a
// second agent could take the socket of the one already running.
TEST_F(AgentProcessTest, CommandLine) {
    const std::string usage = "Usage: vemloconfig-agent [--socket PATH]\n";
    const struct {
        std::vector<std::string> args;
        int exitCode;  // -1: an agent, listening on `out` until it is stopped
        std::string out, err;
    } cases[] = {
        {{}, -1, "env.sock", ""},
        {{"--socket", "x.sock"}, -1, "x.sock", ""},
        {{"--help"}, 0, usage, ""},
        {{"-h"}, 0, usage, ""},
        {{"--version"}, 0, "vemloconfig-agent " VEMLO_PROJECT_VERSION "\n", ""},
        {{"hook", "Stop"}, 0, "", ""},  // no agent to reach, still 0
        {{"hook"}, 2, "", usage},
        {{"--bogus"}, 2, "", usage},
        {{"--socket"}, 2, "", usage},
        {{"--socket", ""}, 2, "", usage},
        {{"--socket", "a.sock", "--socket", "b.sock"}, 2, "", usage},
        {{"--socket", "x.sock", "hook", "Stop"}, 2, "", usage},
        {{"--version", "--socket", "x.sock"}, 2, "", usage},
        {{"--socket=x.sock"}, 2, "", usage},
    };
    const std::string stamp = R"(\[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ\] )";
    for (const auto& c : cases) {
        std::vector<std::string> argv{VEMLO_AGENT_BINARY};
        for (const auto& a : c.args) argv.push_back(a.ends_with(".sock") && a[0] != '-' ? dir.file(a) : a);
        SCOPED_TRACE(::testing::PrintToString(c.args));
        if (c.exitCode == -1) {
            BackgroundProcess agent(argv, off, dir.file("agent.log"));
            ASSERT_TRUE(agent.waitForOutput("监听 Unix socket: " + dir.file(c.out) + "\n")) << agent.output();
            EXPECT_EQ(socketRequest(dir.file(c.out), nop), nopReply);
            EXPECT_EQ(agent.stop(), -SIGTERM) << "it ran until it was stopped";
            std::istringstream log(agent.output());
            std::string first;
            std::getline(log, first);
            EXPECT_TRUE(std::regex_match(first, std::regex(stamp + "vemloconfig-agent " VEMLO_PROJECT_VERSION " 启动")))
                << first;
        } else {
            auto result = runProcess(argv, off);
            EXPECT_EQ(result.exitCode, c.exitCode) << result.out << result.err;
            EXPECT_THAT(result.out, HasSubstr(c.out));
            EXPECT_THAT(result.err, HasSubstr(c.err));
            EXPECT_TRUE(c.exitCode != 2 || result.out.empty()) << "nothing on standard output";
            EXPECT_FALSE(files::exists(dir.file("env.sock")) || files::exists(dir.file("x.sock"))) << "no agent";
        }
        std::filesystem::remove(dir.file("env.sock"));
        std::filesystem::remove(dir.file("x.sock"));
    }
}

// An agent without its socket is of no use: it says why and exits 1, and the path stays as it was.
TEST_F(AgentProcessTest, APathItCannotTakeEndsTheAgent) {
    AgentProcess running(dir.path(), home.path(), {{"VEMLO_BLUETOOTH", "off"}});
    files::atomicWrite(dir.file("notes.txt"), "my notes");
    const std::pair<std::string, std::string> cases[] = {
        {dir.path() + "/" + std::string(120, 's') + ".sock", "] bind() 失败: 36\n"},
        {dir.file("notes.txt"), "] Unix socket 路径上已有别的文件（不是 socket），保留不动: " + dir.file("notes.txt")},
        {running.socketPath(), "] 另一个 agent 已在监听 Unix socket: " + running.socketPath() + "\n"},
    };
    for (const auto& [path, line] : cases) {
        BackgroundProcess agent({VEMLO_AGENT_BINARY, "--socket", path}, off, dir.file("second.log"));
        EXPECT_EQ(agent.waitExit(), 1) << path;
        EXPECT_THAT(agent.output(), HasSubstr(line));
    }
    EXPECT_EQ(files::readFile(dir.file("notes.txt")), "my notes");
    EXPECT_EQ(socketRequest(running.socketPath(), nop), nopReply);
}

TEST_F(AgentProcessTest, RequestsThatGetNoReply) {
    AgentProcess agent(dir.path(), home.path(), {{"VEMLO_BLUETOOTH", "off"}});
    const std::pair<std::string, std::string> cases[] = {
        {"3", "LED 状态 3: 未连接"},
        {"+7\n", "LED 状态 7: 未连接"},
        {"300", ""},
        {"[1,2]", ""},
        {"\xFF\xFE{}", ""},
        {R"({"cmd":"state","value":3,"pad":")" + std::string(1100, 'x') + R"("})", ""},  // cut by the read bound
    };
    for (const auto& [request, logLine] : cases) {
        const std::string before = agent.log();
        EXPECT_EQ(socketRequest(agent.socketPath(), request), "") << request.substr(0, 40);
        if (!logLine.empty()) {
            EXPECT_TRUE(agent.waitForLog(logLine)) << logLine;
        } else {
            // A well-formed request afterwards proves the agent has handled the earlier one.
            EXPECT_EQ(socketRequest(agent.socketPath(), nop), nopReply);
            EXPECT_EQ(agent.log(), before) << request.substr(0, 40);
        }
    }
}

TEST_F(AgentProcessTest, SimulatedKeyboardEndToEnd) {
    AgentProcess agent(dir.path(), home.path(), {{"VEMLO_SIM_LEVER", "2"}});
    ASSERT_TRUE(agent.waitForLog("← status battery=87 light=2 switch=2"));
    ASSERT_TRUE(waitFor([&] { return agent.countInLog("← status battery=") >= 3; }, 15s)) << "polling";
    EXPECT_EQ(liveState(home.path())["switchState"], 2);
    files::atomicWrite(paths::simLeverFile(home.path()), "0\n");
    EXPECT_TRUE(agent.waitForLog("← status battery=87 light=2 switch=0"));
    EXPECT_EQ(socketRequest(agent.socketPath(), R"({"cmd":"permission"})"), "{\"switchState\":0,\"lightMode\":2}\n");
    EXPECT_EQ(socketRequest(agent.socketPath(), "6"), "");
    EXPECT_TRUE(agent.waitForLog("→ LED 状态 6: AA BB 90 06 CC DD"));
    EXPECT_TRUE(waitFor([&] { return liveState(home.path())["stateValue"] == 6; }));
}

int connectTo(const std::string& path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    return ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 ? fd : (::close(fd), -1);
}

long residentKiB(int pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

// A silent client does not hold up others; clients that leave early do not break the agent; under
// many clients at once every well-formed request gets exactly one reply and the agent does not grow.
TEST_F(AgentProcessTest, SilentVanishingAndConcurrentClients) {
    AgentProcess agent(dir.path(), home.path(), {{"VEMLO_SIM_DELAY_MS", "0"}});
    ASSERT_TRUE(agent.waitForLog("通知通道已订阅"));
    const std::string status = R"({"cmd":"status"})", answer = "{\"switchState\":1,\"lightMode\":2}\n";
    int silent = connectTo(agent.socketPath());
    EXPECT_EQ(socketRequest(agent.socketPath(), status), answer);
    ASSERT_EQ(::write(silent, status.data(), status.size()), static_cast<ssize_t>(status.size()));
    const timeval wait{10, 0};
    ::setsockopt(silent, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    char reply[128] = {};
    EXPECT_EQ(std::string(reply, std::max<ssize_t>(0, ::read(silent, reply, sizeof reply))), answer);
    ::close(silent);

    const std::vector<std::pair<std::string, std::string>> mix = {
        {status, answer},  {R"({"cmd":"state","value":3})", "{\"ok\":true}\n"},
        {nop, nopReply},   {"4", ""},
        {"{\"cmd\":", ""}, {"", ""},
    };
    auto run = [&](int total) {
        std::atomic<int> next{0}, wrong{0};
        std::vector<std::thread> clients;
        for (int t = 0; t < 32; ++t) {
            clients.emplace_back([&] {
                for (int i = next++; i < total; i = next++) {
                    const auto& [request, expected] = mix[static_cast<size_t>(i) % mix.size()];
                    if (i % 7 == 6) {  // leaves before its reply is written
                        int fd = connectTo(agent.socketPath());
                        (void)::write(fd, "{\"cmd\":\"permission\"}", 20);
                        ::close(fd);
                    } else if (socketRequest(agent.socketPath(), request) != expected) {
                        ++wrong;
                    }
                }
            });
        }
        for (auto& c : clients) c.join();
        return wrong.load();
    };
    EXPECT_EQ(run(500), 0);  // warm-up, so that what is weighed afterwards is growth
    const long before = residentKiB(agent.pid());
    EXPECT_EQ(run(10000), 0);
    EXPECT_TRUE(agent.running());
#if !defined(__SANITIZE_ADDRESS__)
    // The sanitizer's quarantine holds freed memory on purpose, so only plain builds are weighed.
    EXPECT_LT(residentKiB(agent.pid()) - before, 512) << "KiB grown over 10,000 requests";
#endif
    (void)before;
}

}  // namespace
}  // namespace vemlo::test
