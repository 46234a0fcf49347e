#include "ScriptedPeer.h"
#include "hook/HookSupport.h"
#include "leversync/CursorCliLeverSync.h"
#include "leversync/CursorPermissionsJsonLeverSync.h"
#include "leversync/KimiConfigLeverSync.h"
#include "platform/ControlClient.h"
#include "platform/Files.h"
#include "platform/LedState.h"
#include "support/Process.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <unistd.h>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <functional>
#include <memory>
#include <tuple>

namespace vemlo {
namespace {

using namespace test;

const std::string kInput =
    R"({"session_id":"s-1","hook_event_name":"SessionStart","tool_name":"Bash","command":"cd /srv && make","cwd":"/w"})";
const std::string kClaude = R"({"hookSpecificOutput":{"hookEventName":"PermissionRequest","decision":{"behavior":")";
const std::string kCodexPass = "{\"hookSpecificOutput\":{\"hookEventName\":\"PermissionRequest\"}}\n";
const std::string kCursorCli = "{\"permissions\": {\"allow\": [\"Shell(ls)\"]},\n \"editor\": {\"vimMode\": true}}\n";
const std::string kCursorPermissions = R"({"terminalAllowlist":["ls"]})";
const std::string kCodexConfig = "model = 1\napproval_policy = \"untrusted\"\n[tui]\n";
const std::string kKimiConfig = "model = \"k2\"\ndefault_yolo = false\n";

// A configuration the hook follows the lever in: what it holds after lever 0 and after lever 2.
// Without a lever it must stay byte for byte as it was.
struct Followed {
    std::string path, original, atZero, elsewhere;
};

// Every assistant's permission hook: its answer at lever 0 and otherwise (lever elsewhere or no
// agent), the hook name its record and refusal note give, and the files it follows the lever in.
// Cursor's files start relaxed unless at lever 0, so that lever 2 must bring the user's own back.
struct Assistant {
    const char* event;
    std::string ide, hookEvent, allow, ask;
    std::vector<Followed> files;
};

const std::vector<Followed> kCodexFiles = {{".codex/config.toml", kCodexConfig,
                                            "model = 1\napproval_policy = \"never\"\n[tui]\n",
                                            "model = 1\napproval_policy = \"on-request\"\n[tui]\n"}};
const std::vector<Followed> kCursorFiles = {{".cursor/cli-config.json", kCursorCli, "", kCursorCli},
                                            {".cursor/permissions.json", kCursorPermissions, "", kCursorPermissions}};
const std::vector<Followed> kKimiFiles = {{".kimi/config.toml", kKimiConfig,
                                           "model = \"k2\"\n" + std::string(KimiConfigLeverSync::kAutoTemplate),
                                           "model = \"k2\"\n" + std::string(KimiConfigLeverSync::kManualTemplate)}};
const std::string kAllow = kClaude + "allow\"}}}\n";

const std::vector<Assistant> kAssistants = {
    {"PermissionRequest", "claude", "PermissionRequest", kAllow, kClaude + "ask\"}}}\n", {}},
    {"CodexPermissionRequest", "codex", "PermissionRequest", kAllow, kCodexPass, kCodexFiles},
    {"beforeShellExecution", "cursor", "beforeShellExecution", "{\"permission\":\"allow\"}\n",
     "{\"permission\":\"deny\"}\n", kCursorFiles},
    {"KimiPreToolUse", "kimi", "PreToolUse", "", "", kKimiFiles},
    {"CopilotPermissionRequest", "copilot", "permissionRequest", "{\"behavior\":\"allow\"}\n", "", {}},
};

TEST(PermissionHooks, AnswerFollowAndLogTheLever) {
    // The scripted agent's lever; nothing: no agent at all.
    struct {
        const char* name;
        std::optional<int64_t> lever;
        std::string diagnostic;
    } const situations[] = {{"LeverZero", 0, "allow"}, {"LeverTwo", 2, "ask"}, {"NoAgent", {}, "no_agent_reply"}};
    for (const auto& s : situations) {
        for (const Assistant& a : kAssistants) {
            SCOPED_TRACE(std::string(a.event) + " / " + s.name);
            TempDir folder, home;
            for (const Followed& f : a.files) {
                files::createDirectories(std::filesystem::path(home.file(f.path)).parent_path());
                ASSERT_TRUE(files::atomicWrite(home.file(f.path), f.original));
            }
            if (a.ide == "cursor" && s.lever != 0) {
                CursorCliLeverSync::applyRelaxed(home.path());
                CursorPermissionsJsonLeverSync::applyRelaxed(home.path());
            }
            std::vector<std::string> before;
            for (const Followed& f : a.files) before.push_back(files::readFile(home.file(f.path)).value_or(""));
            std::optional<ScriptedPeer> peer;
            if (s.lever)
                peer.emplace(folder.file("agent.sock"), [&](int fd) {
                    ScriptedPeer::send(fd, "{\"switchState\":" + std::to_string(*s.lever) + ",\"lightMode\":2}\n");
                });

            const ProcessResult r = runHook(a.event, folder.file("agent.sock"), home.path(), kInput);
            EXPECT_EQ(r.exitCode, 0);
            EXPECT_EQ(r.out, s.lever == 0 ? a.allow : a.ask);
            const std::string assistant = char(std::toupper(a.ide[0])) + a.ide.substr(1);  // as the note names it
            const auto note =
                HookSupport::permissionStderrMessage(assistant, a.hookEvent, s.lever.has_value(), s.lever);
            EXPECT_NE(r.err.find(note), std::string::npos) << r.err;
            EXPECT_TRUE(!peer || peer->request() == "{\"cmd\":\"permission\",\"value\":1}\n");

            const std::vector<Json> records = permissionRecords(home.path());
            ASSERT_EQ(records.size(), 1u);
            EXPECT_EQ(records[0]["ide"], a.ide);
            EXPECT_EQ(records[0]["hookEvent"], a.hookEvent);
            EXPECT_EQ(records[0]["diagnostic"], s.diagnostic);
            EXPECT_EQ(records[0]["switchState"], s.lever ? Json(*s.lever) : Json(nullptr));
            EXPECT_EQ(records[0]["tool"]["tool_name"], "Bash");
            if (a.ide == "cursor") {
                EXPECT_EQ(records[0]["cursorDebug"]["inferredCdPath"], "/srv");
                EXPECT_EQ(records[0]["cursorDebug"]["stdinFields"], Json({{"cwd", "/w"}}));
            }
            if (a.ide == "kimi") {
                const std::vector<Json> debug = readJsonLines(diagnosticsFile(home.path(), "kimi-hook-debug.log"));
                ASSERT_GE(debug.size(), 4u);
                EXPECT_EQ(debug[0]["event"], "kimi_PreToolUse_start");
                EXPECT_EQ(debug[0]["stdinBytes"], kInput.size());
                EXPECT_EQ(debug[1]["switchState"], records[0]["switchState"]);
                EXPECT_EQ(debug[1]["agentReplyNil"], !s.lever);
                EXPECT_EQ(debug.back()["kimiDecision"], records[0]["kimiPreToolDecision"]);
                EXPECT_EQ(records[0]["kimiLeverDebug"]["default_yolo_valueSnippet"], s.lever == 0 ? "true" : "false");
                EXPECT_EQ(records[0]["kimiLeverDebug"]["leverSnapshotBakExists"], s.lever == 0);
            }
            if (a.ide == "codex") {
                const std::vector<Json> codex = readJsonLines(diagnosticsFile(home.path(), "codex-hook.log"));
                ASSERT_EQ(codex.size(), 1u);
                EXPECT_EQ(codex[0]["decision"], s.lever == 0 ? "allow" : "pass_through");
                EXPECT_EQ(codex[0]["switchState"], records[0]["switchState"]);
            }

            for (size_t i = 0; i < a.files.size(); ++i) {
                const Followed& f = a.files[i];
                const std::string after = files::readFile(home.file(f.path)).value_or("<missing>");
                if (!s.lever)
                    EXPECT_EQ(after, before[i]) << f.path;
                else if (*s.lever == 0 && f.atZero.empty())
                    EXPECT_NE(after, f.original) << f.path << " was not relaxed";
                else
                    EXPECT_EQ(after, *s.lever == 0 ? f.atZero : f.elsewhere) << f.path;
            }
        }
    }
}

// The real agent on the simulated keyboard: its reply approves, Codex's session start follows the
// lever, and the state events of every assistant reach the LED.
TEST(PermissionHooks, RealAgentAtLeverZero) {
    TempDir folder, home;
    AgentProcess agent(folder.path(), home.path(), {{"VEMLO_SIM_LEVER", "0"}});
    ASSERT_TRUE(agent.waitForLog("通知通道已订阅"));
    EXPECT_EQ(runHook("PermissionRequest", agent.socketPath(), home.path(), kInput).out, kAssistants[0].allow);

    ASSERT_TRUE(files::createDirectories(home.file(".codex")) &&
                files::atomicWrite(home.file(".codex/config.toml"), kCodexConfig));
    EXPECT_EQ(runHook("CodexSessionStart", agent.socketPath(), home.path(), kInput).out, "{}\n");
    EXPECT_EQ(files::readFile(home.file(".codex/config.toml")), kCodexFiles[0].atZero);
    const std::vector<Json> codex = readJsonLines(diagnosticsFile(home.path(), "codex-hook.log"));
    ASSERT_EQ(codex.size(), 1u);
    EXPECT_TRUE(codex[0]["agentEvent"] == "CodexSessionStart" && codex[0]["hookEvent"] == "SessionStart" &&
                codex[0]["agentReply"] == true && codex[0]["stateValue"] == wireValue(LedState::sessionStarted));

    const std::pair<const char*, LedState> events[] = {{"CodexStop", LedState::stop},
                                                       {"KimiUserPromptSubmit", LedState::promptSubmitted}};
    for (const auto& [event, state] : events) {
        const std::string sent = "→ LED 状态 " + std::to_string(wireValue(state)) + ": ";
        const size_t before = agent.countInLog(sent);
        EXPECT_EQ(runHook(event, agent.socketPath(), home.path()).exitCode, 0) << event;
        EXPECT_TRUE(waitFor([&] { return agent.countInLog(sent) > before; })) << event;
    }
    // Names are exact: a near miss is explained and goes nowhere.
    const ProcessResult unknown = runHook("STOP", agent.socketPath(), home.path());
    EXPECT_TRUE(unknown.exitCode == 0 && unknown.out.empty() && unknown.err.ends_with("unknown event: STOP\n"));
    EXPECT_EQ(permissionRecords(home.path()).size(), 1u);
}

// Input no assistant sends but whoever steers one could: each hook still gives its no-agent answer.
TEST(PermissionHooks, HostileInputStillGetsTheAnswer) {
    // A hook leaves input past its limit unread: the test's writes into the closed pipe must fail, not end it.
    std::signal(SIGPIPE, SIG_IGN);
    const std::string deep =
        "{\"tool_input\":{\"data\":" + std::string(100'000, '[') + std::string(100'000, ']') + "}}";
    std::string wide = "{";
    for (int i = 0; i < 100'000; ++i) wide += "\"k" + std::to_string(i) + "\":0,";
    wide += "\"tool_name\":\"Bash\"}";
    const std::string oversized = "[\"" + std::string(HookSupport::kMaxStandardInputBytes, 'x') + "\"]";
    for (const std::string* input : std::initializer_list<const std::string*>{&deep, &wide, &oversized}) {
        for (const Assistant& a : kAssistants) {
            SCOPED_TRACE(std::string(a.event) + ", input of " + std::to_string(input->size()) + " bytes");
            TempDir folder, home;
            const ProcessResult r = runHook(a.event, folder.file("none.sock"), home.path(), *input);
            EXPECT_EQ(r.exitCode, 0);
            EXPECT_EQ(r.out, a.ask);
            const std::vector<Json> records = permissionRecords(home.path());
            ASSERT_EQ(records.size(), 1u);
            EXPECT_EQ(records[0]["tool"].value("stdinCut", false), input == &oversized);
            EXPECT_EQ(records[0]["tool"].contains("tool_name"), input == &wide);
        }
    }
}

// Replies the real agent does not give but a hook must read safely: only a lever known to be 0 approves.
TEST(PermissionHooks, LeverReadFromAnyReply) {
    const std::tuple<const char*, std::optional<int64_t>, std::string> cases[] = {
        {R"({"switchState":"0"})", 0, "allow"},
        {R"({"switchState":true})", 1, "ask"},
        {"{}", {}, "no_switch_in_reply"},
        {R"({"switchState":"zero"})", {}, "no_switch_in_reply"}};
    for (const auto& [reply, expected, diagnostic] : cases) {
        const std::optional<Json> parsed = json::parseObject(reply);
        const HookSupport::LeverReading lever{parsed, HookSupport::leverInReply(parsed)};
        EXPECT_EQ(lever.switchState, expected) << reply;
        EXPECT_EQ(lever.diagnostic(), diagnostic) << reply;
        EXPECT_EQ(lever.isAuto(), expected == 0) << reply;
    }
}

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
        // A NUL is not white space: the text is not one JSON value, so the lever is unknown.
        {replies(std::string("{\"switchState\":0}\n\0", 19)), std::nullopt},
        {replies(objectOfSize(4096)), json::dumpCompact(*json::parse(objectOfSize(4096)))},
        {replies(objectOfSize(4097)), std::nullopt},
        // The rest only follows once the client has given up on its single read.
        {[](int fd) {
             ScriptedPeer::send(fd, "{\"switchState\"");
             ScriptedPeer::waitForClose(fd);
             ScriptedPeer::send(fd, ":0}\n");
         },
         std::nullopt},
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
            const int fd = boundSocket(path);
            EXPECT_GE(fd, 0);
            ::close(fd);
            EXPECT_EQ(::lchown(path.c_str(), owner, owner), 0);
            return nullptr;
        };
    };
    const Prepare foreign = [](const std::string& path) {
        auto listener = std::make_shared<test::ForeignPeer>(path, 65534);
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
        EXPECT_NE(failure.reason.find(reason), std::string::npos) << failure.reason;
        EXPECT_EQ(failure.otherUser, otherUser);
    }
    control::Failure failure;
    EXPECT_FALSE(control::exchange("/tmp/" + std::string(120, 'p'), "{}\n", 1.0, &failure));
    EXPECT_EQ(failure.reason, "the socket path is too long");
}

}  // namespace
}  // namespace vemlo
