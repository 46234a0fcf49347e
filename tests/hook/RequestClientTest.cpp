#include "ScriptedPeer.h"
#include "hook/HookSupport.h"
#include "platform/ControlClient.h"
#include "support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>

namespace vemlo {
namespace {

using test::ScriptedPeer;
using test::TempDir;

const Json kPermission = Json{{"cmd", "permission"}, {"value", 1}};

// A JSON object of exactly `size` bytes.
std::string objectOfSize(size_t size) {
    const std::string frame = R"({"pad":""})";
    return R"({"pad":")" + std::string(size - frame.size(), 'x') + R"("})";
}

// One read of at most 4096 bytes must hold one JSON object; anything else is no reply at all.
TEST(RequestClient, TakesOneReadAsTheReply) {
    const auto replies = [](std::string bytes) -> ScriptedPeer::Script {
        return [bytes](int fd) { ScriptedPeer::send(fd, bytes); };
    };
    const std::pair<ScriptedPeer::Script, std::optional<std::string>> cases[] = {
        {replies("{\"switchState\":0,\"lightMode\":2}\n"), R"({"switchState":0,"lightMode":2})"},
        {replies("{}"), "{}"},
        {replies("[]"), std::nullopt},
        {replies("ok\n"), std::nullopt},
        // A NUL is not white space: the text is not one JSON value, so the lever is unknown.
        {replies(std::string("{\"switchState\":0}\n\0", 19)), std::nullopt},
        {[](int) {}, std::nullopt},
        {replies(objectOfSize(4096)), json::dumpCompact(*json::parse(objectOfSize(4096)))},
        {replies(objectOfSize(4097)), std::nullopt},
        // The rest only follows once the client has given up on its single read.
        {[](int fd) {
             ScriptedPeer::send(fd, "{\"switchState\"");
             ScriptedPeer::waitForClose(fd);
             ScriptedPeer::send(fd, ":0}\n");
         },
         std::nullopt},
        {[](int fd) { ScriptedPeer::waitForClose(fd); }, std::nullopt},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        TempDir dir;
        ScriptedPeer peer(dir.file("agent.sock"), cases[i].first);
        auto reply = HookSupport::sendJsonRequest(kPermission, 1.0, dir.file("agent.sock"));
        EXPECT_EQ(reply ? std::optional(json::dumpCompact(*reply)) : std::nullopt, cases[i].second) << "case " << i;
        EXPECT_EQ(peer.request(), "{\"cmd\":\"permission\",\"value\":1}\n");
    }
}

// Every way an exchange can fail names its reason, and a socket of another user says whose it is.
TEST(RequestClientFailures, Reasons) {
    using Prepare = std::function<std::shared_ptr<void>(const std::string& path)>;
    const Prepare nothing = [](const std::string&) { return nullptr; };
    const auto peer = [](ScriptedPeer::Script script) -> Prepare {
        return [script](const std::string& path) { return std::make_shared<ScriptedPeer>(path, script); };
    };
    const auto stale = [](uid_t owner) -> Prepare {
        return [owner](const std::string& path) {
            int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un addr{AF_UNIX, {}};
            std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
            EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
            ::close(fd);
            EXPECT_EQ(::lchown(path.c_str(), owner, owner), 0);
            return nullptr;
        };
    };
    const Prepare foreign = [](const std::string& path) {
        auto listener = std::make_shared<test::ForeignPeer>(path, 65534, "{\"switchState\":0}\n");
        EXPECT_TRUE(listener->listening());
        return listener;
    };
    const std::tuple<Prepare, double, std::string, std::optional<uid_t>> cases[] = {
        // A zero time-out would make the socket wait for ever.
        {nothing, 0.0, "the time-out is not usable", {}},
        {nothing, 1e-9, "the time-out is not usable", {}},
        {nothing, std::nan(""), "the time-out is not usable", {}},
        {nothing, 60.0, "No such file or directory", {}},
        {stale(::geteuid()), 60.0, "Connection refused", {}},
        {peer([](int) {}), 5.0, "the agent closed the connection without a reply", {}},
        {peer([](int fd) { ScriptedPeer::waitForClose(fd); }), 0.2, "no reply within 0.2 s", {}},
        // Another user takes root to act as.
        {stale(65534), 60.0, "Connection refused; it belongs to user id 65534", 65534},
        {foreign, 5.0, "it is served by user id 65534, not by this user", 65534},
    };
    for (const auto& [prepare, timeout, reason, otherUser] : cases) {
        SCOPED_TRACE(reason);
        if (otherUser && ::geteuid() != 0) continue;
        TempDir dir;
        auto keep = prepare(dir.file("agent.sock"));
        control::Failure failure;
        EXPECT_FALSE(control::exchange(dir.file("agent.sock"), "{\"cmd\":\"status\"}\n", timeout, &failure));
        EXPECT_THAT(failure.reason, testing::HasSubstr(reason));
        EXPECT_EQ(failure.otherUser, otherUser);
    }
    control::Failure failure;
    EXPECT_FALSE(control::exchange("/tmp/" + std::string(120, 'p'), "{}\n", 1.0, &failure));
    EXPECT_EQ(failure.reason, "the socket path is too long");
}

// Our own agent only: a listener of another user gets the connection but never the decision.
TEST(RequestClientFailures, AgentOfAnotherUserIsNoAgent) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a listener under another uid";
    TempDir dir;
    test::ForeignPeer peer(dir.file("agent.sock"), 65534, "{\"switchState\":0}\n");
    ASSERT_TRUE(peer.listening());
    EXPECT_FALSE(HookSupport::sendJsonRequest(kPermission, 5.0, dir.file("agent.sock")));
    EXPECT_TRUE(peer.acceptedOne()) << "the connection itself must have succeeded";
}

}  // namespace
}  // namespace vemlo
