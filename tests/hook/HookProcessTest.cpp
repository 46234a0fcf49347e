#include "ScriptedPeer.h"
#include "hook/HookSupport.h"
#include "leversync/KimiConfigLeverSync.h"
#include "platform/Files.h"
#include "platform/Json.h"
#include "support/Process.h"
#include "support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>
#include <filesystem>

namespace vemlo {
namespace {

using namespace test;
using testing::MatchesRegex;

const std::string kDebugLine = "[vemlo-hook] DEBUG: received event: 'PermissionRequest'\n";
const std::string kInput =
    R"({"session_id":"0f3c2a9e-1111-2222-3333-444455556666","hook_event_name":"PermissionRequest","tool_name":"Bash","tool_input":{"command":"rm -rf build"},"cwd":"/work/app"})";

std::string answer(const std::string& behavior) {
    return R"({"hookSpecificOutput":{"hookEventName":"PermissionRequest","decision":{"behavior":")" + behavior +
           "\"}}}\n";
}

std::string leverMessage(const std::string& lever) {
    return "[vemlo-hook] Claude PermissionRequest: 拨杆 switchState=" + lever + "（非 0），不自动批准。\n";
}
const std::string kNoLeverMessage =
    "[vemlo-hook] Claude PermissionRequest: 回包无有效 switchState（需 BLE 已连且能读到拨杆 0=自动批准），"
    "将按交回用户/终端处理。\n";
const std::string kNoAgentMessage =
    "[vemlo-hook] Claude PermissionRequest: agent 无回包或 Unix socket 失败（/tmp/vemlo.sock 连不上/超时，超时 "
    "5s）。请确认 LaunchAgent 里 vemloconfig-agent 在跑、且蓝牙已选「由 Agent 占用」并连上键盘。\n";

// Checks the one record a permission hook wrote.
void expectRecord(const std::string& home, const Json& switchState, bool isAuto, bool agentReply,
                  const std::string& diagnostic) {
    auto records = permissionRecords(home);
    ASSERT_EQ(records.size(), 1u);
    const Json& r = records[0];
    EXPECT_THAT(r["ts"].get<std::string>(), MatchesRegex("[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}"));
    EXPECT_EQ(r["ide"], "claude");
    EXPECT_EQ(r["hookEvent"], "PermissionRequest");
    EXPECT_EQ(r["switchState"], switchState);
    EXPECT_EQ(r["isAuto"], isAuto);
    EXPECT_EQ(r["agentReply"], agentReply);
    EXPECT_EQ(r["diagnostic"], diagnostic);
    EXPECT_EQ(r["claudeBehavior"], isAuto ? "allow" : "ask");
    EXPECT_EQ(r["tool"]["parser"], "Claude");
}

struct HookProcess : testing::Test {
    TempDir folder;
    TempDir home;
};

TEST_F(HookProcess, LeverAtZeroAllows) {
    AgentProcess agent(folder.path(), home.path(), {{"VEMLO_SIM_LEVER", "0"}});
    ASSERT_TRUE(agent.waitForLog("通知通道已订阅"));
    auto r = runHook("PermissionRequest", agent.socketPath(), home.path(), kInput);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, answer("allow"));
    EXPECT_EQ(r.err, kDebugLine);
    expectRecord(home.path(), 0, true, true, "allow");
    const Json tool = permissionRecords(home.path())[0]["tool"];
    EXPECT_EQ(json::dumpCompact(tool),
              "{\"stdinBytes\":" + std::to_string(kInput.size()) +
                  R"(,"parser":"Claude","tool_name":"Bash","hook_event_name":"PermissionRequest",)"
                  R"("session_id_short":"0f3c2a9e-1111-22","cwdPreview":"/work/app"})");
}

TEST_F(HookProcess, LeverAtTwoAsks) {
    AgentProcess agent(folder.path(), home.path(), {{"VEMLO_SIM_LEVER", "2"}});
    ASSERT_TRUE(agent.waitForLog("通知通道已订阅"));
    auto r = runHook("PermissionRequest", agent.socketPath(), home.path(), kInput);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, answer("ask"));
    EXPECT_EQ(r.err, kDebugLine + leverMessage("2"));
    expectRecord(home.path(), 2, false, true, "ask");
}

TEST_F(HookProcess, NoAgentAsks) {
    auto r = runHook("PermissionRequest", folder.file("agent.sock"), home.path(), "");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, answer("ask"));
    EXPECT_EQ(r.err, kDebugLine + kNoAgentMessage);
    expectRecord(home.path(), nullptr, false, false, "no_agent_reply");
    EXPECT_EQ(json::dumpCompact(permissionRecords(home.path())[0]["tool"]), R"({"stdinBytes":0,"parser":"Claude"})");
}

TEST_F(HookProcess, AgentOfAnotherUserIsNoAgent) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a listener under another uid";
    ForeignPeer peer(folder.file("agent.sock"), 65534, "{\"switchState\":0}\n");
    ASSERT_TRUE(peer.listening());
    auto r = runHook("PermissionRequest", folder.file("agent.sock"), home.path(), kInput);
    EXPECT_EQ(r.out, answer("ask"));
    EXPECT_EQ(r.err, kDebugLine + kNoAgentMessage);
    expectRecord(home.path(), nullptr, false, false, "no_agent_reply");
}

// Replies the real agent does not give but a hook must read safely.
struct ReplyCase {
    const char* name;
    std::string reply;
    std::string behavior;
    std::string stderrMessage;
    Json switchState;
    bool agentReply;
    std::string diagnostic;
};
void PrintTo(const ReplyCase& c, std::ostream* os) { *os << c.name; }

class PermissionReply : public HookProcess, public testing::WithParamInterface<ReplyCase> {};

TEST_P(PermissionReply, DecidesFromTheLeverOnly) {
    const auto& c = GetParam();
    ScriptedPeer peer(folder.file("agent.sock"), [&](int fd) { ScriptedPeer::send(fd, c.reply); });
    auto r = runHook("PermissionRequest", folder.file("agent.sock"), home.path(), "{not json");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, answer(c.behavior));
    EXPECT_EQ(r.err, kDebugLine + c.stderrMessage);
    expectRecord(home.path(), c.switchState, c.behavior == "allow", c.agentReply, c.diagnostic);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PermissionReply,
    testing::Values(ReplyCase{"LeverAsText", R"({"switchState":"0"})", "allow", "", 0, true, "allow"},
                    ReplyCase{"LeverOne", R"({"switchState":1})", "ask", leverMessage("1"), 1, true, "ask"},
                    ReplyCase{"NegativeLever", R"({"switchState":-1})", "ask", leverMessage("-1"), -1, true, "ask"},
                    ReplyCase{"EmptyReply", "{}", "ask", kNoLeverMessage, nullptr, true, "no_switch_in_reply"},
                    ReplyCase{"AckOnly", R"({"ok":true})", "ask", kNoLeverMessage, nullptr, true, "no_switch_in_reply"},
                    ReplyCase{"UnknownLever", R"({"switchState":null,"lightMode":null})", "ask", kNoLeverMessage,
                              nullptr, true, "no_switch_in_reply"},
                    ReplyCase{"LeverNotANumber", R"({"switchState":"zero"})", "ask", kNoLeverMessage, nullptr, true,
                              "no_switch_in_reply"},
                    ReplyCase{"ArrayIsNoReply", "[0]", "ask", kNoAgentMessage, nullptr, false, "no_agent_reply"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(HookProcess, EverySharedStateEventReachesTheAgent) {
    AgentProcess agent(folder.path(), home.path());
    ASSERT_TRUE(agent.waitForLog("通知通道已订阅"));
    const std::vector<std::pair<std::string, int>> events = {
        {"Notification", 0},
        {"PostToolUse", 2},
        {"PreToolUse", 3},
        {"SessionStart", 4},
        {"Stop", 5},
        {"SubagentStop", 5},
        {"TaskCompleted", 6},
        {"UserPromptSubmit", 7},
        {"SessionEnd", 8},
        {"PreCompact", 0},
        {"sessionStart", 4},
        {"sessionEnd", 8},
        {"postToolUse", 2},
        {"stop", 5},
        {"KimiNotification", 0},
        {"KimiSessionStart", 4},
        {"KimiSessionEnd", 8},
        {"KimiPostToolUse", 2},
        {"KimiUserPromptSubmit", 7},
        {"KimiStop", 5},
        {"CopilotSessionStart", 4},
        {"CopilotUserPromptSubmitted", 7},
        {"CopilotPreToolUse", 3},
        {"CopilotPostToolUse", 2},
        {"CopilotAgentStop", 5},
        {"CopilotSessionEnd", 8},
        {"CopilotNotification", 0},
    };
    for (const auto& [event, state] : events) {
        const std::string sent = "→ LED 状态 " + std::to_string(state) + ": ";
        const size_t before = agent.countInLog(sent);
        auto r = runHook(event, agent.socketPath(), home.path());
        EXPECT_EQ(r.exitCode, 0) << event;
        EXPECT_EQ(r.out, "") << event;
        EXPECT_EQ(r.err, "[vemlo-hook] DEBUG: received event: '" + event + "'\n");
        EXPECT_TRUE(waitFor([&] { return agent.countInLog(sent) > before; })) << event << " did not send " << state;
    }
    EXPECT_EQ(permissionRecords(home.path()).size(), 0u);
}

TEST_F(HookProcess, UnknownEventsOnlyExplain) {
    for (const std::string event : {"STOP", "notification", "Stop "}) {
        auto r = runHook(event, folder.file("agent.sock"), home.path());
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err,
                  "[vemlo-hook] DEBUG: received event: '" + event + "'\n[vemlo-hook] unknown event: " + event + "\n");
    }
}

// Kimi's pre-tool hook: silent on standard output, the lever followed through `default_yolo` on disk.
std::string kimi(const std::string& text) { return "[tesk-kimi] " + text + "\n"; }
std::string kimiSynced(const std::string& value) {
    return kimi("default_yolo synced on disk (" + value +
                "); if kimi is already running: enter /reload in that session — no quit needed.") +
           kimi("on-disk default_yolo now reads " + value + "; /reload picks it up.");
}
const std::string kKimiConfig = "model = \"k2\"\ndefault_yolo = false\n";
const std::string kKimiOldSnapshot = "default_yolo = true\n";

struct KimiCase {
    const char* name;
    std::optional<int> lever;  // nothing: no agent. Except at 0 a snapshot of an earlier period exists.
    std::string stderrAfterStart;
    std::string decision;
    std::string diagnostic;
    std::string configAfter;
    std::optional<std::string> snapshotAfter;
};
void PrintTo(const KimiCase& c, std::ostream* os) { *os << c.name; }

class KimiPreToolUse : public HookProcess, public testing::WithParamInterface<KimiCase> {};

TEST_P(KimiPreToolUse, FollowsTheLeverOnDiskAndNeverAnswers) {
    const KimiCase& c = GetParam();
    namespace sync = KimiConfigLeverSync;
    std::filesystem::create_directories(home.file(".kimi"));
    ASSERT_TRUE(files::atomicWrite(sync::configPath(home.path()), kKimiConfig));
    ASSERT_TRUE(c.lever == 0 || files::atomicWrite(sync::snapshotPath(home.path()), kKimiOldSnapshot));
    std::optional<AgentProcess> agent;
    if (c.lever)
        agent.emplace(folder.path(), home.path(),
                      std::map<std::string, std::string>{{"VEMLO_SIM_LEVER", std::to_string(*c.lever)}});
    ASSERT_TRUE(!agent || agent->waitForLog("通知通道已订阅"));
    // The hook inherits its working directory from here; its debug log must not go there.
    TempDir work;
    const auto previousDir = std::filesystem::current_path();
    std::filesystem::current_path(work.path());
    auto r = runHook("KimiPreToolUse", agent ? agent->socketPath() : folder.file("agent.sock"), home.path(), kInput);
    std::filesystem::current_path(previousDir);

    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "") << "Kimi's hook runner would take any answer as a veto";
    EXPECT_EQ(r.err, "[vemlo-hook] DEBUG: received event: 'KimiPreToolUse'\n" +
                         kimi("PreToolUse hook start bytes=" + std::to_string(kInput.size()) +
                              "; full log=" + diagnosticsFile(home.path(), "kimi-hook-debug.log")) +
                         c.stderrAfterStart);
    EXPECT_EQ(files::readFile(sync::configPath(home.path())), c.configAfter);
    EXPECT_EQ(files::readFile(sync::snapshotPath(home.path())), c.snapshotAfter);
    auto records = permissionRecords(home.path());
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]["ide"], "kimi");
    EXPECT_EQ(records[0]["diagnostic"], c.diagnostic);
    EXPECT_EQ(records[0]["kimiPreToolDecision"], c.decision);
    EXPECT_EQ(records[0]["kimiLeverDebug"]["default_yolo_valueSnippet"], c.lever == 0 ? "true" : "false");
    EXPECT_EQ(records[0]["kimiLeverDebug"]["leverSnapshotBakExists"], c.snapshotAfter.has_value());
    EXPECT_TRUE(std::filesystem::is_empty(work.path()));
    const std::vector<Json> debug = readJsonLines(diagnosticsFile(home.path(), "kimi-hook-debug.log"));
    ASSERT_FALSE(debug.empty());
    EXPECT_EQ(debug[0]["event"], "kimi_PreToolUse_start");
    EXPECT_EQ(debug[0]["cwd"], work.path());
}

INSTANTIATE_TEST_SUITE_P(
    Table, KimiPreToolUse,
    testing::Values(
        KimiCase{"LeverZero", 0,
                 kimi("agent socket reply: switchState=0 isAuto=true") + kimiSynced("true") +
                     kimi("stdout chars=0 decision=auto_no_stdout_no_veto"),
                 "auto_no_stdout_no_veto", "allow",
                 "model = \"k2\"\n" + std::string(KimiConfigLeverSync::kAutoTemplate), kKimiConfig},
        KimiCase{"LeverThree", 3,
                 kimi("agent socket reply: switchState=3 isAuto=false") +
                     HookSupport::permissionStderrMessage("Kimi", "PreToolUse", true, 3) +
                     kimi("removed config.toml.vemlo.lever0.bak (avoid restoring old default_yolo=true)") +
                     kimi("default_yolo=false on dial manual; run /reload in Kimi.") +
                     kimi("note: kimi ORs persisted session YOLO (e.g. after /yolo) with config — if reload still "
                          "shows yolo, toggle /yolo off once or use a fresh session.") +
                     kimiSynced("false") + kimi("stdout chars=0 decision=manual_lever_no_stdout"),
                 "manual_lever_no_stdout", "ask",
                 "model = \"k2\"\n" + std::string(KimiConfigLeverSync::kManualTemplate), std::nullopt},
        KimiCase{"NoAgent", std::nullopt,
                 kimi("agent socket reply: switchState=nil isAuto=false") +
                     HookSupport::permissionStderrMessage("Kimi", "PreToolUse", false, std::nullopt) +
                     kimi("no switchState from agent → skipped default_yolo sync; kimiPreTool=manual_lever_no_stdout; "
                          "check BLE/agent") +
                     kimi("stdout chars=0 decision=manual_lever_no_stdout"),
                 "manual_lever_no_stdout", "no_agent_reply", kKimiConfig, kKimiOldSnapshot}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vemlo
