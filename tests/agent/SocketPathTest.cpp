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
#include <memory>

namespace vemlo::test {
namespace {

// Binds (and closes: a stale socket, as a dead agent leaves it) or connects to `path`.
bool socketAt(const std::string& path, bool bindIt) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
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

// What lstat says about a path, to tell that something was left exactly as it was.
std::string fingerprint(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return "missing";
    return std::to_string(st.st_ino) + "/" + std::to_string(st.st_mode) + "/" + std::to_string(st.st_uid) + "/" +
           files::readFile(path).value_or("-");
}

// Before it binds, the server removes only a socket of its own user that nobody answers on.
TEST(SocketPath, OnlyAStaleSocketOfOursIsReplaced) {
    const std::string taken = "监听 Unix socket: ", other = "Unix socket 路径上已有别的文件（不是 socket），保留不动: ";
    const struct {
        const char* name;
        // Prepares what lies at the path; what it returns is kept alive during the case.
        std::function<std::shared_ptr<void>(const TempDir&, const std::string& path)> prepare;
        std::string line;  // the log line, after which the path follows
    } cases[] = {
        {"nothing there", [](auto&, auto&) { return nullptr; }, taken},
        {"stale socket of ours", [](auto&, auto& path) { return (void)socketAt(path, true), nullptr; }, taken},
        {"live agent",
         [](auto&, auto& path) -> std::shared_ptr<void> {
             std::shared_ptr<SocketServer> first = server();
             EXPECT_TRUE(first->start(path, [](const std::string&) {}));
             return first;
         },
         "另一个 agent 已在监听 Unix socket: "},
        {"regular file", [](auto&, auto& path) { return (void)files::atomicWrite(path, "my notes"), nullptr; }, other},
        {"directory", [](auto&, auto& path) { return (void)files::createDirectories(path), nullptr; }, other},
        {"link to a stale socket of ours",
         [](const TempDir& dir, auto& path) {
             (void)socketAt(dir.file("real.sock"), true);
             return (void)::symlink(dir.file("real.sock").c_str(), path.c_str()), nullptr;
         },
         other},
        {"dangling link",
         [](const TempDir& dir, auto& path) {
             return (void)::symlink(dir.file("nowhere").c_str(), path.c_str()), nullptr;
         },
         other},
        {"socket of another user (tests run as root)",
         [](auto&, auto& path) {
             (void)socketAt(path, true);
             return (void)::lchown(path.c_str(), 65534, 65534), nullptr;
         },
         "Unix socket 属于其他用户（uid=65534），保留不动: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string path = dir.file("agent.sock");
        auto keep = c.prepare(dir, path);
        const std::string before = fingerprint(path);
        std::vector<std::string> log;
        auto second = server();
        EXPECT_EQ(second->start(path, [&](const std::string& line) { log.push_back(line); }), c.line == taken);
        EXPECT_THAT(log, ::testing::ElementsAre(c.line + path));
        EXPECT_TRUE(c.line == taken || fingerprint(path) == before) << "left exactly as it was";
        EXPECT_EQ(socketAt(path, false), keep || c.line == taken) << "only a live socket answers";
    }
    std::vector<std::string> log;
    TempDir dir;
    EXPECT_FALSE(server()->start(dir.file("missing/agent.sock"), [&](const std::string& l) { log.push_back(l); }));
    EXPECT_THAT(log, ::testing::ElementsAre("bind() 失败: 2"));
}

}  // namespace
}  // namespace vemlo::test
