#include "ScriptedPeer.h"
#include "hook/HookSupport.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <unistd.h>

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

struct ReplyCase {
    const char* name;
    ScriptedPeer::Script script;
    std::optional<std::string> expected;  // compact JSON of the reply, or absent
};
void PrintTo(const ReplyCase& c, std::ostream* os) { *os << c.name; }

class RequestClient : public testing::TestWithParam<ReplyCase> {};

TEST_P(RequestClient, TakesOneReadAsTheReply) {
    const auto& c = GetParam();
    TempDir dir;
    ScriptedPeer peer(dir.file("agent.sock"), c.script);
    auto reply = HookSupport::sendJsonRequest(kPermission, 1.0, dir.file("agent.sock"));
    EXPECT_EQ(reply ? std::optional(json::dumpCompact(*reply)) : std::nullopt, c.expected);
    EXPECT_EQ(peer.request(), "{\"cmd\":\"permission\",\"value\":1}\n");
}

ScriptedPeer::Script replies(std::string bytes) {
    return [bytes](int fd) { ScriptedPeer::send(fd, bytes); };
}

INSTANTIATE_TEST_SUITE_P(
    Table, RequestClient,
    testing::Values(
        ReplyCase{"AgentReply", replies("{\"switchState\":0,\"lightMode\":2}\n"), R"({"switchState":0,"lightMode":2})"},
        ReplyCase{"EmptyObject", replies("{}"), "{}"},
        ReplyCase{"Array", replies("[]"), std::nullopt},
        ReplyCase{"Scalar", replies("1"), std::nullopt},
        ReplyCase{"NotJson", replies("ok\n"), std::nullopt},
        // A NUL is not white space: the text is not one JSON value, so the lever is unknown.
        ReplyCase{"NulAfterTheValue", replies(std::string("{\"switchState\":0}\n\0", 19)), std::nullopt},
        ReplyCase{"ClosedWithoutReply", [](int) {}, std::nullopt},
        ReplyCase{"Exactly4096Bytes", replies(objectOfSize(4096)), json::dumpCompact(*json::parse(objectOfSize(4096)))},
        ReplyCase{"LongerIsCut", replies(objectOfSize(4097)), std::nullopt},
        // The rest only follows once the client has given up on its single read.
        ReplyCase{"SplitReply",
                  [](int fd) {
                      ScriptedPeer::send(fd, "{\"switchState\"");
                      ScriptedPeer::waitForClose(fd);
                      ScriptedPeer::send(fd, ":0}\n");
                  },
                  std::nullopt},
        ReplyCase{"NeverAnswers", [](int fd) { ScriptedPeer::waitForClose(fd); }, std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RequestClientFailures, NoListenerFailsWithoutWaitingForTheTimeout) {
    TempDir dir;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(HookSupport::sendJsonRequest(kPermission, 60.0, dir.file("agent.sock")));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

TEST(RequestClientFailures, UnusableTimeoutsAndPathsAreRefused) {
    TempDir dir;
    ScriptedPeer peer(dir.file("agent.sock"), replies("{}"));
    // A zero time-out would make the socket wait for ever.
    for (double timeout : {0.0, 1e-9, -1.0, std::numeric_limits<double>::infinity(), std::nan("")})
        EXPECT_FALSE(HookSupport::sendJsonRequest(kPermission, timeout, dir.file("agent.sock"))) << timeout;
    EXPECT_FALSE(HookSupport::sendJsonRequest(kPermission, 1.0, "/tmp/" + std::string(120, 'p')));
    EXPECT_TRUE(HookSupport::sendJsonRequest(kPermission, 1.0, dir.file("agent.sock")));
}

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
