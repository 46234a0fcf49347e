#include "ScriptedPeer.h"
#include "hook/HookSupport.h"
#include "platform/Files.h"
#include "support/Process.h"
#include "support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>

namespace vemlo {
namespace {

using namespace test;
constexpr int kNoAgent = -1, kEmptyReply = -2;

// "untrusted" was written by older tools; the sync replaces it like any other value.
std::string configWith(const std::string& policy) { return "model = 1\napproval_policy = \"" + policy + "\"\n[tui]\n"; }
const std::string kInput = R"({"session_id":"0f3c2a9e-1111-2222-3333","hook_event_name":"X","tool_name":"shell"})";
const std::string kAllow =
    R"({"hookSpecificOutput":{"hookEventName":"PermissionRequest","decision":{"behavior":"allow"}}})";
const std::string kPassThrough = R"({"hookSpecificOutput":{"hookEventName":"PermissionRequest"}})";

struct CodexHook : testing::Test {
    TempDir folder, home;
    std::string config() const { return files::readFile(home.file(".codex/config.toml")).value_or("<missing>"); }
    void SetUp() override {
        ASSERT_TRUE(files::createDirectories(home.file(".codex")));
        ASSERT_TRUE(files::atomicWrite(home.file(".codex/config.toml"), configWith("untrusted")));
    }
};

// lever: the simulated keyboard's lever, kEmptyReply (a peer answering "{}") or kNoAgent. The records
// are given without "ts" and "tool"; an empty permission record means none may be written.
struct Case {
    const char* name;
    std::string event;
    int lever;
    std::string input, out, policyAfter, codexRecord, permissionRecord;
};
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }
class Codex : public CodexHook, public testing::WithParamInterface<Case> {};

std::string boolean(bool value) { return value ? "true" : "false"; }

Case stateCase(const char* name, const std::string& event, int lever, int value, const std::string& policyAfter,
               const std::string& input = kInput, const std::string& hookEvent = "\"X\"") {
    return {name,
            event,
            lever,
            input,
            "{}",
            policyAfter,
            R"({"agentEvent":")" + event + R"(","hookEvent":)" + hookEvent + R"(,"stateValue":)" +
                std::to_string(value) + R"(,"agentReply":)" + boolean(lever != kNoAgent) + R"(,"switchState":null})",
            ""};
}

Case permissionCase(const char* name, int lever, const std::string& policyAfter, const std::string& switchState,
                    const std::string& diagnostic) {
    const bool isAuto = diagnostic == "allow", reply = lever != kNoAgent;
    return {name,
            "CodexPermissionRequest",
            lever,
            kInput,
            isAuto ? kAllow : kPassThrough,
            policyAfter,
            R"({"agentEvent":"CodexPermissionRequest","hookEvent":"PermissionRequest","stateValue":1,"agentReply":)" +
                boolean(reply) + R"(,"switchState":)" + switchState + R"(,"decision":")" +
                (isAuto ? "allow" : "pass_through") + "\"}",
            R"({"ide":"codex","hookEvent":"PermissionRequest","switchState":)" + switchState + R"(,"isAuto":)" +
                boolean(isAuto) + R"(,"agentReply":)" + boolean(reply) + R"(,"diagnostic":")" + diagnostic + "\"}"};
}

nlohmann::json withoutTsAndTool(Json record, const std::string& input) {
    EXPECT_THAT(record.value("ts", ""), testing::MatchesRegex("[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}"));
    EXPECT_EQ(record["tool"], HookSupport::parseStdinContext(input, "Codex"));
    record.erase("ts");
    record.erase("tool");
    return nlohmann::json::parse(json::dumpCompact(record));
}

TEST_P(Codex, AnswersSyncsAndLogs) {
    const Case& c = GetParam();
    std::optional<AgentProcess> agent;
    std::optional<ScriptedPeer> peer;
    if (c.lever >= 0) {
        const std::map<std::string, std::string> env{{"VEMLO_SIM_LEVER", std::to_string(c.lever)}};
        agent.emplace(folder.path(), home.path(), env);
        ASSERT_TRUE(agent->waitForLog("通知通道已订阅"));
    }
    if (c.lever == kEmptyReply) peer.emplace(folder.file("agent.sock"), [](int fd) { ScriptedPeer::send(fd, "{}\n"); });

    auto r = runHook(c.event, folder.file("agent.sock"), home.path(), c.input);
    const auto permission = readJsonLines(diagnosticsFile(home.path(), "permission-request.log"));
    std::string note;
    if (!permission.empty()) {
        note = HookSupport::permissionStderrMessage("Codex", "PermissionRequest", permission[0]["agentReply"] == true,
                                                    HookSupport::intValue(&permission[0]["switchState"]));
    }
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, c.out + "\n");
    EXPECT_EQ(r.err, "[vemlo-hook] DEBUG: received event: '" + c.event + "'\n" + note);
    EXPECT_EQ(config(), configWith(c.policyAfter));
    const auto codex = readJsonLines(diagnosticsFile(home.path(), "codex-hook.log"));
    ASSERT_EQ(codex.size(), 1u);
    EXPECT_EQ(withoutTsAndTool(codex[0], c.input), nlohmann::json::parse(c.codexRecord));
    ASSERT_EQ(permission.size(), c.permissionRecord.empty() ? 0u : 1u);
    if (!permission.empty()) {
        EXPECT_EQ(withoutTsAndTool(permission[0], c.input), nlohmann::json::parse(c.permissionRecord));
    }
    if (agent) {
        EXPECT_TRUE(agent->waitForLog("→ LED 状态 " + codex[0]["stateValue"].dump() + ": "));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Codex,
    testing::Values(stateCase("SessionStartLever0", "CodexSessionStart", 0, 4, "never"),
                    stateCase("SessionStartLever2", "CodexSessionStart", 2, 4, "on-request"),
                    stateCase("StopNeverSyncs", "CodexStop", 0, 5, "untrusted", "{}", "null"),
                    stateCase("PostToolUse", "CodexPostToolUse", kNoAgent, 2, "untrusted"),
                    stateCase("PreToolUse", "CodexPreToolUse", kNoAgent, 3, "untrusted"),
                    stateCase("PromptSubmit", "CodexUserPromptSubmit", kNoAgent, 7, "untrusted"),
                    permissionCase("PermissionLever0", 0, "never", "0", "allow"),
                    permissionCase("PermissionLever1", 1, "on-request", "1", "ask"),
                    permissionCase("PermissionEmptyReply", kEmptyReply, "untrusted", "null", "no_switch_in_reply"),
                    permissionCase("PermissionNoAgent", kNoAgent, "untrusted", "null", "no_agent_reply")),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vemlo
