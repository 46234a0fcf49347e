#include "hook/HookSupport.h"
#include "support/Process.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

namespace vemlo {
namespace {

using namespace test;

const std::string kInput = R"({"session_id":"s-1","tool_name":"Bash","tool_input":{"command":"ls"},"cwd":"/tmp"})";

// Every assistant's permission hook through the one skeleton: its answer at each lever position and
// without an agent, and the record it leaves in the shared permission log.
struct Assistant {
    const char* name;
    std::string event;
    std::string ide;                  // the record's "ide"
    std::string hookEvent;            // the record's "hookEvent" and the name in the refusal note
    std::string noteIde;              // the name the refusal note gives the assistant
    std::string allow, ask, noAgent;  // standard output at lever 0, at lever 2, without an agent
};

const std::string kClaude = R"({"hookSpecificOutput":{"hookEventName":"PermissionRequest","decision":{"behavior":")";
const std::string kCodexPass = "{\"hookSpecificOutput\":{\"hookEventName\":\"PermissionRequest\"}}\n";

const std::vector<Assistant> kAssistants = {
    {"Claude", "PermissionRequest", "claude", "PermissionRequest", "Claude", kClaude + "allow\"}}}\n",
     kClaude + "ask\"}}}\n", kClaude + "ask\"}}}\n"},
    {"Codex", "CodexPermissionRequest", "codex", "PermissionRequest", "Codex", kClaude + "allow\"}}}\n", kCodexPass,
     kCodexPass},
    {"Cursor", "beforeShellExecution", "cursor", "beforeShellExecution", "Cursor", "{\"permission\":\"allow\"}\n",
     "{\"permission\":\"deny\"}\n", "{\"permission\":\"deny\"}\n"},
    {"Kimi", "KimiPreToolUse", "kimi", "PreToolUse", "Kimi", "", "", ""},
    {"Copilot", "CopilotPermissionRequest", "copilot", "permissionRequest", "Copilot", "{\"behavior\":\"allow\"}\n", "",
     ""},
};

struct Situation {
    const char* name;
    std::optional<int> lever;  // nothing: no agent
    std::string diagnostic;
};

TEST(PermissionHooks, AnswerFromTheLeverAndLogTheDecision) {
    TempDir folder;
    const std::vector<Situation> situations = {
        {"LeverZero", 0, "allow"}, {"LeverTwo", 2, "ask"}, {"NoAgent", std::nullopt, "no_agent_reply"}};
    for (const Situation& s : situations) {
        std::optional<AgentProcess> agent;
        TempDir agentHome;
        if (s.lever) {
            agent.emplace(folder.path(), agentHome.path(),
                          std::map<std::string, std::string>{{"VEMLO_SIM_LEVER", std::to_string(*s.lever)}});
            ASSERT_TRUE(agent->waitForLog("通知通道已订阅"));
        }
        for (const Assistant& a : kAssistants) {
            TempDir home;
            const std::string where = std::string(a.name) + " / " + s.name;
            auto r = runHook(a.event, agent ? agent->socketPath() : folder.file("none.sock"), home.path(), kInput);
            EXPECT_EQ(r.exitCode, 0) << where;
            EXPECT_EQ(r.out, !s.lever ? a.noAgent : *s.lever == 0 ? a.allow : a.ask) << where;
            const std::string note = HookSupport::permissionStderrMessage(
                a.noteIde, a.hookEvent, s.lever.has_value(), s.lever ? std::optional<int64_t>(*s.lever) : std::nullopt);
            // At lever 0 there is nothing to explain.
            EXPECT_EQ(note.empty(), s.lever == 0) << where;
            EXPECT_TRUE(note.empty() || r.err.find(note) != std::string::npos) << where << "\n" << r.err;
            const std::vector<Json> records = permissionRecords(home.path());
            ASSERT_EQ(records.size(), 1u) << where;
            EXPECT_EQ(records[0]["ide"], a.ide) << where;
            EXPECT_EQ(records[0]["hookEvent"], a.hookEvent) << where;
            EXPECT_EQ(records[0]["diagnostic"], s.diagnostic) << where;
            EXPECT_EQ(records[0]["tool"]["tool_name"], "Bash") << where;
        }
    }
}

// Input no assistant sends but a hook must survive: each hook still gives its no-agent answer.
TEST(PermissionHooks, HostileInputStillGetsTheAnswer) {
    // A hook leaves input past its limit unread: the test's writes into the closed pipe must fail, not end it.
    std::signal(SIGPIPE, SIG_IGN);
    TempDir folder;
    const std::string deep =
        "{\"tool_input\":{\"data\":" + std::string(100'000, '[') + std::string(100'000, ']') + "}}";
    const std::string deepCwd = "{\"cwd\":" + std::string(100'000, '[') + std::string(100'000, ']') + "}";
    std::string wide = "{";
    for (int i = 0; i < 100'000; ++i) wide += "\"k" + std::to_string(i) + "\":0,";
    wide += "\"tool_name\":\"Bash\"}";
    const std::string oversized = "[\"" + std::string(HookSupport::kMaxStandardInputBytes + 1024, 'x') + "\"]";
    struct Input {
        const char* name;
        const std::string& bytes;
        bool cut;
    };
    for (const Input& in : {Input{"Deep", deep, false}, Input{"DeepCwd", deepCwd, false}, Input{"Wide", wide, false},
                            Input{"Oversized", oversized, true}}) {
        for (const Assistant& a : kAssistants) {
            TempDir home;
            const std::string where = std::string(a.name) + " / " + in.name;
            auto r = runHook(a.event, folder.file("none.sock"), home.path(), in.bytes);
            EXPECT_EQ(r.exitCode, 0) << where;
            EXPECT_EQ(r.out, a.noAgent) << where;
            const std::vector<Json> records = permissionRecords(home.path());
            ASSERT_EQ(records.size(), 1u) << where;
            EXPECT_EQ(records[0]["tool"].value("stdinCut", false), in.cut) << where;
        }
    }
}

}  // namespace
}  // namespace vemlo
