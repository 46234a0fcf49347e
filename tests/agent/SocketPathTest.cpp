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
#include <iostream>
#include <memory>

namespace vemlo::test {
namespace {

sockaddr_un addressOf(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    return addr;
}

// A socket file nobody listens on, as an agent that died leaves it.
void staleSocket(const std::string& path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    const sockaddr_un addr = addressOf(path);
    ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
    ::close(fd);
}

bool accepts(const std::string& path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    const sockaddr_un addr = addressOf(path);
    const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}

std::unique_ptr<SocketServer> server() {
    SocketServer::Callbacks callbacks;
    callbacks.onCommand = [](CommandRequest, int fd) { ::close(fd); };
    callbacks.onPlainState = [](uint8_t) {};
    return std::make_unique<SocketServer>(std::move(callbacks), nullptr);
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
    struct Case {
        const char* name;
        // Prepares what lies at the path; what it returns is kept alive during the case.
        std::function<std::shared_ptr<void>(const TempDir&, const std::string& path)> prepare;
        bool taken;
        std::string line;  // the log line, after which the path follows
        bool needsRoot = false;
    };
    const Case cases[] = {
        {"nothing there", [](const TempDir&, const std::string&) { return nullptr; }, true, "监听 Unix socket: "},
        {"stale socket of ours",
         [](const TempDir&, const std::string& path) {
             staleSocket(path);
             return nullptr;
         },
         true, "监听 Unix socket: "},
        {"live agent",
         [](const TempDir&, const std::string& path) {
             std::shared_ptr<SocketServer> first = server();
             EXPECT_TRUE(first->start(path, [](const std::string&) {}));
             return first;
         },
         false, "另一个 agent 已在监听 Unix socket: "},
        {"regular file",
         [](const TempDir&, const std::string& path) {
             files::atomicWrite(path, "my notes");
             return nullptr;
         },
         false, "Unix socket 路径上已有别的文件（不是 socket），保留不动: "},
        {"directory",
         [](const TempDir&, const std::string& path) {
             files::createDirectories(path);
             return nullptr;
         },
         false, "Unix socket 路径上已有别的文件（不是 socket），保留不动: "},
        {"link to a stale socket of ours",
         [](const TempDir& dir, const std::string& path) {
             staleSocket(dir.file("real.sock"));
             EXPECT_EQ(::symlink(dir.file("real.sock").c_str(), path.c_str()), 0);
             return nullptr;
         },
         false, "Unix socket 路径上已有别的文件（不是 socket），保留不动: "},
        {"dangling link",
         [](const TempDir& dir, const std::string& path) {
             EXPECT_EQ(::symlink(dir.file("nowhere").c_str(), path.c_str()), 0);
             return nullptr;
         },
         false, "Unix socket 路径上已有别的文件（不是 socket），保留不动: "},
        {"socket of another user",
         [](const TempDir&, const std::string& path) {
             staleSocket(path);
             EXPECT_EQ(::lchown(path.c_str(), 65534, 65534), 0);
             return nullptr;
         },
         false, "Unix socket 属于其他用户（uid=65534），保留不动: ", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needsRoot && ::geteuid() != 0) {
            std::cout << "[  SKIPPED ] " << c.name << ": needs root to give a socket to another user\n";
            continue;
        }
        TempDir dir;
        const std::string path = dir.file("agent.sock");
        auto keep = c.prepare(dir, path);
        const std::string before = fingerprint(path);
        std::vector<std::string> log;
        auto second = server();
        EXPECT_EQ(second->start(path, [&](const std::string& line) { log.push_back(line); }), c.taken);
        EXPECT_THAT(log, ::testing::ElementsAre(c.line + path));
        if (c.taken) {
            EXPECT_TRUE(accepts(path));
        } else {
            EXPECT_EQ(fingerprint(path), before) << "left exactly as it was";
        }
        if (keep) {
            EXPECT_TRUE(accepts(path)) << "the agent already there keeps its socket";
        }
    }
}

TEST(SocketPath, BindFailureIsReported) {
    TempDir dir;
    std::vector<std::string> log;
    EXPECT_FALSE(
        server()->start(dir.file("missing/agent.sock"), [&](const std::string& line) { log.push_back(line); }));
    EXPECT_THAT(log, ::testing::ElementsAre("bind() 失败: 2"));
}

}  // namespace
}  // namespace vemlo::test
