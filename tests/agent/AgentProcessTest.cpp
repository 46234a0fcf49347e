#include "agent/LiveStateFile.h"
#include "platform/Files.h"
#include "platform/Json.h"
#include "platform/Paths.h"
#include "support/Process.h"
#include "support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

namespace vemlo::test {
namespace {

int connectTo(const std::string& path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

Json liveState(const std::string& home) {
    return json::parseObject(files::readFile(livestate::filePath(home)).value_or("")).value_or(Json::object());
}

struct AgentProcessTest : ::testing::Test {
    TempDir dir;
    TempDir home;
};

TEST_F(AgentProcessTest, ConsoleLinesCarryAnIsoUtcStamp) {
    AgentProcess agent(dir.path(), home.path(), {{"VEMLO_BLUETOOTH", "off"}});
    std::istringstream log(agent.log());
    std::string first, second;
    std::getline(log, first);
    std::getline(log, second);
    const std::string stamp = R"(\[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ\] )";
    // The first line names the build that runs.
    EXPECT_TRUE(std::regex_match(first, std::regex(stamp + "vemloconfig-agent " VEMLO_PROJECT_VERSION " 启动")))
        << first;
    EXPECT_TRUE(std::regex_match(second, std::regex(stamp + R"(监听 Unix socket: .*/agent\.sock)"))) << second;
}

TEST_F(AgentProcessTest, RequestsThatGetNoReply) {
    AgentProcess agent(dir.path(), home.path(), {{"VEMLO_BLUETOOTH", "off"}});
    struct Case {
        std::string request;
        std::string logLine;  // empty: nothing may be logged
    };
    const Case cases[] = {
        {"3", "LED 状态 3: 未连接"},
        {"+7\n", "LED 状态 7: 未连接"},
        {"300", ""},
        {"-1", ""},
        {"abc", ""},
        {"[1,2]", ""},
        {R"({"cmd":5})", ""},
        {"\xFF\xFE{}", ""},
        {R"({"cmd":"state","value":3,"pad":")" + std::string(1100, 'x') + R"("})", ""},
    };
    for (const auto& c : cases) {
        const std::string before = agent.log();
        EXPECT_EQ(socketRequest(agent.socketPath(), c.request), "") << c.request.substr(0, 40);
        if (!c.logLine.empty()) {
            EXPECT_TRUE(agent.waitForLog(c.logLine)) << c.logLine;
        } else {
            // A well-formed request afterwards proves the agent is up and has handled the earlier one.
            EXPECT_EQ(socketRequest(agent.socketPath(), R"({"cmd":"nop"})"), "{\"error\":\"unknown cmd: nop\"}\n");
            EXPECT_EQ(agent.log(), before) << c.request.substr(0, 40);
        }
    }
}

TEST_F(AgentProcessTest, SilentOrVanishingClientsHarmNobody) {
    AgentProcess agent(dir.path(), home.path());
    ASSERT_TRUE(agent.waitForLog("通知通道已订阅"));
    int silent = connectTo(agent.socketPath());
    ASSERT_GE(silent, 0);
    // Answered while the silent client still holds its connection open.
    EXPECT_EQ(socketRequest(agent.socketPath(), R"({"cmd":"status"})", 2s), "{\"switchState\":1,\"lightMode\":2}\n");
    // The silent client speaks up within its 3 s: its request, read after it was accepted, is answered too.
    const std::string late = R"({"cmd":"status"})";
    ASSERT_EQ(::write(silent, late.data(), late.size()), static_cast<ssize_t>(late.size()));
    const timeval wait{5, 0};
    ::setsockopt(silent, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    char reply[128] = {};
    const ssize_t n = ::read(silent, reply, sizeof reply);
    EXPECT_EQ(std::string(reply, n > 0 ? static_cast<size_t>(n) : 0), "{\"switchState\":1,\"lightMode\":2}\n");

    // Clients that leave before their reply is written: the agent must survive the broken pipe.
    for (int i = 0; i < 20; ++i) {
        int fd = connectTo(agent.socketPath());
        const std::string req = R"({"cmd":"permission"})";
        ASSERT_EQ(::write(fd, req.data(), req.size()), static_cast<ssize_t>(req.size()));
        ::close(fd);
    }
    EXPECT_EQ(socketRequest(agent.socketPath(), R"({"cmd":"status"})"), "{\"switchState\":1,\"lightMode\":2}\n");
    EXPECT_TRUE(agent.running());
    ::close(silent);
}

TEST_F(AgentProcessTest, RestartDropsOnlyTheLeverFromTheStateFile) {
    files::createDirectories(livestate::folderPath(home.path()));
    files::atomicWrite(livestate::filePath(home.path()), R"({"note":"keep","switchState":0,"stateValue":3,"ts":1})");
    AgentProcess agent(dir.path(), home.path(), {{"VEMLO_BLUETOOTH", "off"}});
    Json state = liveState(home.path());
    EXPECT_FALSE(state.contains("switchState"));
    EXPECT_EQ(state["note"], "keep");
    EXPECT_EQ(state["stateValue"], 3);
    EXPECT_NE(state["ts"], 1);
}

// An agent without its socket is of no use: it says why and exits 1, and the path stays as it was.
TEST_F(AgentProcessTest, APathItCannotTakeEndsTheAgent) {
    AgentProcess running(dir.path(), home.path(), {{"VEMLO_BLUETOOTH", "off"}});
    files::atomicWrite(dir.file("notes.txt"), "my notes");
    struct Case {
        std::string path;
        std::string line;
    };
    const std::string overlong = dir.path() + "/" + std::string(120, 's') + ".sock";
    const Case cases[] = {
        {overlong, "] bind() 失败: 36\n"},
        {dir.file("notes.txt"),
         "] Unix socket 路径上已有别的文件（不是 socket），保留不动: " + dir.file("notes.txt") + "\n"},
        {running.socketPath(), "] 另一个 agent 已在监听 Unix socket: " + running.socketPath() + "\n"},
    };
    for (const auto& c : cases) {
        auto result =
            runProcess({VEMLO_AGENT_BINARY, "--socket", c.path}, {{"HOME", home.path()}, {"VEMLO_BLUETOOTH", "off"}});
        EXPECT_EQ(result.exitCode, 1) << c.path;
        EXPECT_THAT(result.out, ::testing::HasSubstr(c.line));
    }
    EXPECT_EQ(files::readFile(dir.file("notes.txt")), "my notes");
    EXPECT_EQ(socketRequest(running.socketPath(), R"({"cmd":"nop"})"), "{\"error\":\"unknown cmd: nop\"}\n");
}

// The agent takes `--socket PATH` and nothing else: anything it does not know is refused before a
// second agent could take the socket of the one already running.
TEST_F(AgentProcessTest, CommandLine) {
    const std::string usage = "Usage: vemloconfig-agent [--socket PATH]\n";
    struct Case {
        std::vector<std::string> args;
        int exitCode;          // -1: an agent, still running when it is stopped
        std::string out, err;  // expected in standard output, standard error; for an agent, its socket
    };
    const Case cases[] = {
        {{}, -1, "env.sock", ""},
        {{"--socket", "x.sock"}, -1, "x.sock", ""},
        {{"--help"}, 0, usage, ""},
        {{"-h"}, 0, usage, ""},
        {{"--version"}, 0, "vemloconfig-agent " VEMLO_PROJECT_VERSION "\n", ""},
        {{"hook", "Stop"}, 0, "", ""},  // hook mode; no agent to reach, still 0
        {{"hook"}, 2, "", usage},
        {{"--bogus"}, 2, "", usage},
        {{"--socket"}, 2, "", usage},
        {{"--socket", ""}, 2, "", usage},
        {{"--socket", "a.sock", "--socket", "b.sock"}, 2, "", usage},
        {{"--socket", "x.sock", "hook", "Stop"}, 2, "", usage},
        {{"--version", "--socket", "x.sock"}, 2, "", usage},
        {{"--socket=x.sock"}, 2, "", usage},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv{VEMLO_AGENT_BINARY};
        std::string shown;
        for (const auto& a : c.args) {
            argv.push_back(a.find(".sock") != std::string::npos && a[0] != '-' ? dir.file(a) : a);
            shown += " " + a;
        }
        SCOPED_TRACE(shown);
        auto result = runProcess(
            argv, {{"HOME", home.path()}, {"VEMLO_BLUETOOTH", "off"}, {"VEMLO_SOCKET", dir.file("env.sock")}}, "",
            c.exitCode == -1 ? 1500ms : 20s);
        EXPECT_EQ(result.exitCode, c.exitCode) << result.out << result.err;
        if (c.exitCode == -1) {
            EXPECT_THAT(result.out, ::testing::HasSubstr("] vemloconfig-agent " VEMLO_PROJECT_VERSION " 启动\n"));
            EXPECT_THAT(result.out, ::testing::HasSubstr("] 监听 Unix socket: " + dir.file(c.out) + "\n"));
        } else {
            EXPECT_THAT(result.out, ::testing::HasSubstr(c.out));
        }
        EXPECT_THAT(result.err, ::testing::HasSubstr(c.err));
        if (c.exitCode == 2) {
            EXPECT_EQ(result.out, "");
        }
        if (c.exitCode != -1) {
            EXPECT_FALSE(files::exists(dir.file("env.sock")) || files::exists(dir.file("x.sock")))
                << "no agent started";
        }
        std::filesystem::remove(dir.file("env.sock"));
        std::filesystem::remove(dir.file("x.sock"));
    }
}

TEST_F(AgentProcessTest, SimulatedKeyboardEndToEnd) {
    AgentProcess agent(dir.path(), home.path(), {{"VEMLO_SIM_LEVER", "2"}});
    for (const char* line :
         {"蓝牙就绪", "开始扫描…", "发现: Vemlo Sim", "已连接: Vemlo Sim", "命令通道就绪", "通知通道已订阅"})
        EXPECT_TRUE(agent.waitForLog(line)) << line;
    ASSERT_TRUE(agent.waitForLog("← status battery=87 light=2 switch=2"));
    ASSERT_TRUE(waitFor([&] { return agent.countInLog("← status battery=") >= 3; }, 15s)) << "polling every 1.5 s";
    Json state = liveState(home.path());
    EXPECT_EQ(state["lightMode"], 2);
    EXPECT_EQ(state["switchState"], 2);
    EXPECT_EQ(state["workMode"], 1);

    files::atomicWrite(paths::simLeverFile(home.path()), "0\n");
    EXPECT_TRUE(agent.waitForLog("← status battery=87 light=2 switch=0"));
    EXPECT_EQ(socketRequest(agent.socketPath(), R"({"cmd":"permission"})"), "{\"switchState\":0,\"lightMode\":2}\n");
    EXPECT_TRUE(agent.waitForLog("← permission 回包 switchState=Optional(0)"));

    EXPECT_EQ(socketRequest(agent.socketPath(), "6"), "");
    EXPECT_TRUE(agent.waitForLog("→ LED 状态 6: AA BB 90 06 CC DD"));
    EXPECT_TRUE(waitFor([&] { return liveState(home.path())["stateValue"] == 6; }));
}

long residentKiB(int pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

// Many clients at once, well-formed and malformed requests mixed: every well-formed request gets
// exactly one reply and the agent neither dies nor grows.
TEST_F(AgentProcessTest, ConcurrentMixedLoad) {
    AgentProcess agent(dir.path(), home.path(), {{"VEMLO_SIM_DELAY_MS", "0"}});
    ASSERT_TRUE(agent.waitForLog("通知通道已订阅"));
    const std::vector<std::pair<std::string, std::string>> mix = {
        {R"({"cmd":"status"})", "{\"switchState\":1,\"lightMode\":2}\n"},
        {R"({"cmd":"state","value":3})", "{\"ok\":true}\n"},
        {R"({"cmd":"bogus"})", "{\"error\":\"unknown cmd: bogus\"}\n"},
        {"4", ""},
        {"{\"cmd\":", ""},
        {"", ""},
        {"[]", ""},
    };
    auto run = [&](int total) {
        std::atomic<int> next{0}, wrong{0};
        std::vector<std::thread> clients;
        for (int t = 0; t < 32; ++t) {
            clients.emplace_back([&] {
                for (int i = next++; i < total; i = next++) {
                    const auto& [request, expected] = mix[static_cast<size_t>(i) % mix.size()];
                    if (socketRequest(agent.socketPath(), request, 10s) != expected) ++wrong;
                }
            });
        }
        for (auto& c : clients) c.join();
        return wrong.load();
    };
    EXPECT_EQ(run(500), 0);  // warm-up, so that what is weighed afterwards is growth
    const long before = residentKiB(agent.pid());
    EXPECT_EQ(run(10000), 0);
    const long after = residentKiB(agent.pid());
    EXPECT_TRUE(agent.running());
#if !defined(__SANITIZE_ADDRESS__)
    // The sanitizer's quarantine holds freed memory on purpose, so only plain builds are weighed.
    EXPECT_LT(after - before, 512) << "KiB grown over 10,000 requests";
#endif
    (void)before;
    (void)after;
}

}  // namespace
}  // namespace vemlo::test
