#include "agent/SocketServer.h"
#include "platform/Files.h"
#include "support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <cstring>
#include <functional>

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
         "Unix socket 属于其他用户（uid=65534），保留不动: "}};
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
        EXPECT_THAT(log, ::testing::ElementsAre(line + path));
        EXPECT_TRUE(line == taken || fingerprint(path) == before) << "left exactly as it was";
        EXPECT_EQ(socketAt(path, false), live || line == taken) << "only a live socket answers";
        live.reset();
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

}  // namespace
}  // namespace vemlo::test
