#include "agent/SocketServer.h"
#include "platform/Files.h"
#include "support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <atomic>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

namespace vemlo::test {
namespace {

// Binds (and closes: a stale socket, as a dead agent leaves it) or connects to `path`.
bool socketAt(const std::string& path, bool bindIt) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{AF_UNIX, {}};
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    const auto* a = reinterpret_cast<const sockaddr*>(&addr);
    const bool ok = (bindIt ? ::bind(fd, a, sizeof addr) : ::connect(fd, a, sizeof addr)) == 0;
    ::close(fd);
    return ok;
}

std::unique_ptr<SocketServer> server() {
    return std::make_unique<SocketServer>(
        SocketServer::Callbacks{[](CommandRequest, int fd) { ::close(fd); }, [](uint8_t) {}}, nullptr);
}

std::string fingerprint(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return "missing";
    return std::to_string(st.st_ino) + "/" + std::to_string(st.st_mode) + "/" + std::to_string(st.st_uid) + "/" +
           files::readFile(path).value_or("-");
}

// Before it binds, the server removes only a socket of its own user that nobody answers on.
TEST(SocketPath, OnlyAStaleSocketOfOursIsReplaced) {
    const std::string taken = "监听 Unix socket: ", other = "Unix socket 路径上已有别的文件（不是 socket），保留不动: ";
    std::unique_ptr<SocketServer> live;
    int lockHolder = -1;
    using Prepare = std::function<void(const std::string& path, const std::string& elsewhere)>;
    const std::tuple<const char*, Prepare, std::string> cases[] = {
        {"nothing there", [](auto&, auto&) {}, taken},
        {"stale socket of ours", [](auto& path, auto&) { socketAt(path, true); }, taken},
        {"live agent", [&](auto& path, auto&) { EXPECT_TRUE((live = server())->start(path, [](auto&) {})); },
         "另一个 agent 已在监听 Unix socket: "},
        {"regular file", [](auto& path, auto&) { files::atomicWrite(path, "my notes"); }, other},
        {"link to a stale socket of ours",
         [](auto& path, auto& real) { socketAt(real, true), ::symlink(real.c_str(), path.c_str()); }, other},
        {"dangling link", [](auto& path, auto& real) { ::symlink(real.c_str(), path.c_str()); }, other},
        {"socket of another user (tests run as root)",
         [](auto& path, auto&) { socketAt(path, true), ::lchown(path.c_str(), 65534, 65534); },
         "Unix socket 属于其他用户（uid=65534），保留不动: "},
        // The lock beside the path makes check, unlink and bind one step among agents starting together.
        {"stale socket, lock held by an agent starting",
         [&](auto& path, auto&) {
             socketAt(path, true);
             lockHolder = ::open((path + ".lock").c_str(), O_RDWR | O_CREAT, 0600);
             ::flock(lockHolder, LOCK_EX);
         },
         "另一个 agent 正在启动，持有 Unix socket 的锁: "},
        {"lock file is a link", [](auto& path, auto& real) { ::symlink(real.c_str(), (path + ".lock").c_str()); },
         "lock"}};
    for (const auto& [name, prepare, line] : cases) {
        SCOPED_TRACE(name);
        if (line.starts_with("Unix socket 属于其他用户") && !canActAsAnotherUser()) continue;
        TempDir dir;
        const std::string path = dir.file("agent.sock");
        prepare(path, dir.file("real.sock"));
        const std::string before = fingerprint(path);
        std::vector<std::string> log;
        auto second = server();
        EXPECT_EQ(second->start(path, [&](const std::string& l) { log.push_back(l); }), line == taken);
        EXPECT_THAT(log, ::testing::ElementsAre(line != "lock" ? line + path
                                                                : "Unix socket 的锁文件 " + path +
                                                                      ".lock 不可用（Too many levels of symbolic "
                                                                      "links），保留不动: " + path));
        EXPECT_FALSE(files::exists(dir.file("real.sock")) && line == "lock") << "a link is not followed";
        EXPECT_TRUE(line == taken || fingerprint(path) == before) << "left exactly as it was";
        EXPECT_EQ(socketAt(path, false), live || line == taken) << "only a live socket answers";
        live.reset();
        if (lockHolder >= 0) ::close(lockHolder), lockHolder = -1;
    }
    std::vector<std::string> log;
    TempDir dir;
    EXPECT_FALSE(server()->start(dir.file("missing/agent.sock"), [&](const std::string& l) { log.push_back(l); }));
    EXPECT_THAT(log, ::testing::ElementsAre("bind() 失败: 2（No such file or directory）"));
    // A path too long for an address: the limit, and one that fits.
    log.clear();
    ::setenv("XDG_RUNTIME_DIR", "/run/user/4242", 1);
    EXPECT_FALSE(server()->start("/" + std::string(107, 'p'), [&](const std::string& l) { log.push_back(l); }));
    EXPECT_THAT(log, ::testing::ElementsAre("bind() 失败: 36（File name too long：路径 108 字节，上限 107 字节；"
                                            "请换一个更短的路径（--socket 或 VEMLO_SOCKET），例如 "
                                            "/run/user/4242/vemlo.sock）"));
    if (!canActAsAnotherUser()) GTEST_SKIP() << "the row of another user's socket " << kNeedsRoot;
}

// Servers starting together on one stale socket: exactly one listens, every time. Without one lock
// around check, unlink and bind, two could both find it stale, and the second unlink the first's socket.
TEST(SocketPath, OfServersStartingTogetherExactlyOneListens) {
    TempDir dir;
    const std::string path = dir.file("agent.sock");
    constexpr int kServers = 8;
    for (int round = 0; round < 200; ++round) {
        socketAt(path, true);
        std::vector<std::unique_ptr<SocketServer>> servers;
        for (int i = 0; i < kServers; ++i) servers.push_back(server());
        std::atomic<int> ready{0}, listening{0};
        std::vector<std::thread> threads;
        for (auto& s : servers)
            threads.emplace_back([&, one = s.get()] {
                for (++ready; ready < kServers;) std::this_thread::yield();
                listening += one->start(path, [](const std::string&) {});
            });
        for (auto& t : threads) t.join();
        ASSERT_EQ(listening, 1) << "round " << round;
        ASSERT_TRUE(socketAt(path, false));
        servers.clear();
        ::unlink(path.c_str());
    }
}

}  // namespace
}  // namespace vemlo::test
