#include "ScriptedPeer.h"
#include "hook/HookSupport.h"
#include "platform/Files.h"
#include "platform/Json.h"
#include "support/JsonLines.h"
#include "support/Process.h"
#include "support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <optional>
#include <thread>

namespace vemlo {
namespace {

using namespace test;
using testing::MatchesRegex;

constexpr int kNoAgent = -1;
constexpr int kEmptyReply = -2;  // a peer that answers "{}"

// Written by an older tool: the sync must replace it like any other value.
std::string configWith(const std::string& policy) {
    return "model = \"o3\"\napproval_policy = \"" + policy + "\"\n\n[tui]\nx = 1\n";
}
const std::string kOriginal = configWith("untrusted");

const std::string kInput =
    R"({"session_id":"0f3c2a9e-1111-2222-3333-444455556666","hook_event_name":"PermissionRequest","tool_name":"shell","command":"ls -la","cwd":"/work/app"})";
const std::string kAllow = R"({"hookSpecificOutput":{"hookEventName":"PermissionRequest","decision":{"behavior":"allow"}}})"
                           "\n";
const std::string kPassThrough = R"({"hookSpecificOutput":{"hookEventName":"PermissionRequest"}})"
                                 "\n";

std::string debugLine(const std::string& event) { return "[vemlo-hook] DEBUG: received event: '" + event + "'\n"; }

// A record without its timestamp, which must be there in the shared format; key order is not compared.
nlohmann::json withoutTimestamp(Json record) {
    EXPECT_THAT(record.value("ts", ""), MatchesRegex("[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}"));
    record.erase("ts");
    return nlohmann::json::parse(json::dumpCompact(record));
}

struct CodexHook : testing::Test {
    TempDir folder;
    TempDir home;
    std::optional<AgentProcess> agent;
    std::optional<ScriptedPeer> peer;

    void SetUp() override {
        ASSERT_TRUE(files::createDirectories(home.file(".codex")));
        ASSERT_TRUE(files::atomicWrite(configPath(), kOriginal));
    }
    std::string configPath() const { return home.file(".codex/config.toml"); }
    std::string config() const { return files::readFile(configPath()).value_or("<missing>"); }
    std::vector<Json> log(const std::string& name) const { return readJsonLines(diagnosticsFile(home.path(), name)); }

    // The agent on a simulated keyboard with its lever at `lever`, a scripted peer, or nothing.
    std::string startPeer(int lever) {
        if (lever == kEmptyReply) peer.emplace(folder.file("agent.sock"), [](int fd) { ScriptedPeer::send(fd, "{}\n"); });
        if (lever < 0) return folder.file("agent.sock");
        agent.emplace(folder.path(), home.path(), std::map<std::string, std::string>{{"VEMLO_SIM_LEVER", std::to_string(lever)}});
        EXPECT_TRUE(agent->waitForLog("通知通道已订阅"));
        return agent->socketPath();
    }
};

struct StateCase {
    const char* name;
    std::string event;
    int lever;
    std::string input;
    int stateValue;
    Json hookEvent;
    std::string configAfter;
};
void PrintTo(const StateCase& c, std::ostream* os) { *os << c.name; }

class CodexState : public CodexHook, public testing::WithParamInterface<StateCase> {};

TEST_P(CodexState, AnswersEmptyLogsAndSyncsOnlyAtSessionStart) {
    const StateCase& c = GetParam();
    const std::string socket = startPeer(c.lever);
    const std::string sent = "→ LED 状态 " + std::to_string(c.stateValue) + ": ";
    const size_t before = agent ? agent->countInLog(sent) : 0;

    auto r = runHook(c.event, socket, home.path(), c.input);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "{}\n");
    EXPECT_EQ(r.err, debugLine(c.event));
    EXPECT_EQ(config(), c.configAfter);
    if (agent) {
        EXPECT_TRUE(waitFor([&] { return agent->countInLog(sent) > before; })) << "state not sent";
    }

    const auto records = log("codex-hook.log");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(withoutTimestamp(records[0]), withoutTimestamp(Json{{"ts", "2026-01-01 00:00:00"},
                                                                  {"agentEvent", c.event},
                                                                  {"hookEvent", c.hookEvent},
                                                                  {"stateValue", c.stateValue},
                                                                  {"agentReply", c.lever != kNoAgent},
                                                                  {"switchState", nullptr},
                                                                  {"tool", HookSupport::parseStdinContext(c.input, "Codex")}}));
    EXPECT_FALSE(files::exists(diagnosticsFile(home.path(), "permission-request.log")));
}

INSTANTIATE_TEST_SUITE_P(
    Table, CodexState,
    testing::Values(
        StateCase{"SessionStartLever0", "CodexSessionStart", 0, R"({"hook_event_name":"SessionStart"})", 4,
                  "SessionStart", configWith("never")},
        StateCase{"SessionStartLever2", "CodexSessionStart", 2, R"({"hook_event_name":"SessionStart"})", 4,
                  "SessionStart", configWith("on-request")},
        StateCase{"StopNeverSyncs", "CodexStop", 0, "{}", 5, nullptr, kOriginal},
        StateCase{"PostToolUseNoAgent", "CodexPostToolUse", kNoAgent, "", 2, nullptr, kOriginal},
        StateCase{"PreToolUseNoAgent", "CodexPreToolUse", kNoAgent, "not json", 3, nullptr, kOriginal},
        StateCase{"PromptNoAgent", "CodexUserPromptSubmit", kNoAgent, R"({"hook_event_name":7})", 7, nullptr,
                  kOriginal}),
    [](const auto& info) { return std::string(info.param.name); });

struct PermissionCase {
    const char* name;
    int lever;
    Json switchState;
    std::string diagnostic;
    std::string configAfter;
};
void PrintTo(const PermissionCase& c, std::ostream* os) { *os << c.name; }

class CodexPermission : public CodexHook, public testing::WithParamInterface<PermissionCase> {};

TEST_P(CodexPermission, DecidesSyncsAndLogsBoth) {
    const PermissionCase& c = GetParam();
    const std::string socket = startPeer(c.lever);
    const bool isAuto = c.lever == 0;
    const bool agentReply = c.lever != kNoAgent;
    const std::optional<int64_t> lever = c.switchState.is_null() ? std::nullopt : std::optional<int64_t>(c.lever);

    auto r = runHook("CodexPermissionRequest", socket, home.path(), kInput);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, isAuto ? kAllow : kPassThrough);
    EXPECT_EQ(r.err, debugLine("CodexPermissionRequest") +
                         HookSupport::permissionStderrMessage("Codex", "PermissionRequest", agentReply, lever));
    EXPECT_EQ(config(), c.configAfter);
    if (peer) {
        EXPECT_EQ(peer->request(), "{\"cmd\":\"permission\",\"value\":1}\n");
    }

    const Json tool = HookSupport::parseStdinContext(kInput, "Codex");
    const auto codex = log("codex-hook.log");
    ASSERT_EQ(codex.size(), 1u);
    EXPECT_EQ(withoutTimestamp(codex[0]), withoutTimestamp(Json{{"ts", "2026-01-01 00:00:00"},
                                                                {"agentEvent", "CodexPermissionRequest"},
                                                                {"hookEvent", "PermissionRequest"},
                                                                {"stateValue", 1},
                                                                {"agentReply", agentReply},
                                                                {"switchState", c.switchState},
                                                                {"tool", tool},
                                                                {"decision", isAuto ? "allow" : "pass_through"}}));
    const auto permission = log("permission-request.log");
    ASSERT_EQ(permission.size(), 1u);
    EXPECT_EQ(withoutTimestamp(permission[0]), withoutTimestamp(Json{{"ts", "2026-01-01 00:00:00"},
                                                                     {"ide", "codex"},
                                                                     {"hookEvent", "PermissionRequest"},
                                                                     {"switchState", c.switchState},
                                                                     {"isAuto", isAuto},
                                                                     {"agentReply", agentReply},
                                                                     {"diagnostic", c.diagnostic},
                                                                     {"tool", tool}}));
}

INSTANTIATE_TEST_SUITE_P(
    Table, CodexPermission,
    testing::Values(PermissionCase{"Lever0", 0, 0, "allow", configWith("never")},
                    PermissionCase{"Lever1", 1, 1, "ask", configWith("on-request")},
                    PermissionCase{"EmptyReply", kEmptyReply, nullptr, "no_switch_in_reply", kOriginal},
                    PermissionCase{"NoAgent", kNoAgent, nullptr, "no_agent_reply", kOriginal}),
    [](const auto& info) { return std::string(info.param.name); });

// Hooks answered by two keyboards at once, one at 0 and one at 1, race to rewrite the same file:
// Codex must only ever find one of the two complete versions, and no log line may be lost or torn.
TEST_F(CodexHook, ConcurrentPermissionHooksKeepTheConfigWhole) {
    constexpr int kRounds = 5;  // 80 hook processes: about 7 s on an idle 2-core machine under the sanitizers
    constexpr int kHooks = 16;
    TempDir automaticFolder, manualFolder;
    AgentProcess automatic(automaticFolder.path(), automaticFolder.path(), {{"VEMLO_SIM_LEVER", "0"}});
    AgentProcess manual(manualFolder.path(), manualFolder.path(), {{"VEMLO_SIM_LEVER", "1"}});
    ASSERT_TRUE(automatic.waitForLog("通知通道已订阅"));
    ASSERT_TRUE(manual.waitForLog("通知通道已订阅"));
    // Hooks that find a log missing each create it whole, the last one winning; start from empty logs.
    ASSERT_TRUE(files::createDirectories(diagnosticsFile(home.path(), "")));
    for (const char* name : {"codex-hook.log", "permission-request.log"})
        ASSERT_TRUE(files::atomicWrite(diagnosticsFile(home.path(), name), ""));

    const std::string never = configWith("never"), onRequest = configWith("on-request");
    std::atomic<bool> done{false};
    std::atomic<int> mixtures{0};
    std::thread reader([&] {
        while (!done) {
            const std::string seen = config();
            if (seen != kOriginal && seen != never && seen != onRequest) ++mixtures;
            std::this_thread::sleep_for(1ms);
        }
    });
    std::atomic<int> wrongAnswers{0};
    for (int round = 0; round < kRounds; ++round) {
        std::vector<std::thread> hooks;
        for (int h = 0; h < kHooks; ++h) {
            hooks.emplace_back([&, h] {
                const bool atZero = (h + round) % 2 == 0;
                auto r = runHook("CodexPermissionRequest", (atZero ? automatic : manual).socketPath(), home.path(), kInput);
                if (r.exitCode != 0 || r.out != (atZero ? kAllow : kPassThrough)) ++wrongAnswers;
            });
        }
        for (auto& t : hooks) t.join();
    }
    done = true;
    reader.join();

    EXPECT_EQ(wrongAnswers.load(), 0);
    EXPECT_EQ(mixtures.load(), 0);
    EXPECT_THAT(config(), testing::AnyOf(never, onRequest));
    std::vector<std::string> inCodex;
    for (const auto& entry : std::filesystem::directory_iterator(home.file(".codex")))
        inCodex.push_back(entry.path().filename());
    EXPECT_EQ(inCodex, std::vector<std::string>{"config.toml"}) << "no temporary file may stay behind";
    const auto codex = log("codex-hook.log");
    EXPECT_EQ(codex.size(), size_t{kRounds * kHooks});
    for (const Json& record : codex) EXPECT_EQ(record["decision"] == "allow", record["switchState"] == 0);
    EXPECT_EQ(log("permission-request.log").size(), size_t{kRounds * kHooks});
}

}  // namespace
}  // namespace vemlo
