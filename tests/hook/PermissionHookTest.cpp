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

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>
#include <tuple>

namespace vemlo {
namespace {

using namespace test;

bool readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 10'000) > 0;
}
void sendBytes(int fd, const std::string& bytes) { (void)::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
// Returns once the client closes its end (or a generous deadline passes).
void waitForClose(int fd) {
    char buf[512];
    while (readable(fd) && ::read(fd, buf, sizeof buf) > 0) {}
}

// A Unix socket bound at `path`, not listening yet; -1 on failure.
int boundSocket(const std::string& path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{AF_UNIX, {}};
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
    ::close(fd);
    return -1;
}

// A stand-in for the agent: takes `connections` connections one after the other, each with its request
// line, on which `script` answers.
struct ScriptedPeer {
    ScriptedPeer(const std::string& path, std::function<void(int fd)> script, int connections = 1)
        : listenFd(boundSocket(path)) {
        if (listenFd < 0 || ::listen(listenFd, 4) != 0) return;
        thread = std::thread([this, connections, script = std::move(script)] {
            for (int i = 0; i < connections; ++i) {
                const int fd = readable(listenFd) ? ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC) : -1;
                if (fd < 0) return;
                char buf[512];
                ssize_t n = 0;
                std::string line;
                while (line.find('\n') == std::string::npos && readable(fd) && (n = ::read(fd, buf, 512)) > 0)
                    line.append(buf, static_cast<size_t>(n));
                sent += line;
                script(fd), ::close(fd);
            }
        });
    }
    ~ScriptedPeer() { request(), ::close(listenFd); }
    // What the client sent on every connection; waits for the script to finish.
    const std::string& request() {
        if (thread.joinable()) thread.join();
        return sent;
    }
    int listenFd;
    std::string sent;
    std::thread thread;
};

// A listener running as another user that never answers.
std::shared_ptr<void> foreignPeer(const std::string& path) {
    int listenFd = boundSocket(path), pipeFds[2];
    if (listenFd < 0 || ::pipe2(pipeFds, O_CLOEXEC) != 0) return nullptr;
    const pid_t pid = ::fork();
    if (pid == 0) {
        // The kernel records a listener's credentials at listen(), so the user changes first. Clients
        // are left in the backlog: the credentials alone must turn them away.
        if (::setgid(65534) != 0 || ::setuid(65534) != 0 || ::listen(listenFd, 4) != 0) ::_exit(1);
        (void)!::write(pipeFds[1], "L", 1);
        for (;;) ::pause();
    }
    ::close(listenFd);
    ::close(pipeFds[1]);
    char c = 0;
    EXPECT_TRUE(pid > 0 && readable(pipeFds[0]) && ::read(pipeFds[0], &c, 1) == 1) << "the listener did not start";
    ::close(pipeFds[0]);
    return std::shared_ptr<void>(nullptr,
                                 [pid](void*) { pid > 0 && ::kill(pid, SIGKILL) == 0 && ::waitpid(pid, nullptr, 0); });
}

const std::string kInput =
    R"({"session_id":"s-1","hook_event_name":"SessionStart","tool_name":"Bash","command":"cd /srv && make","cwd":"/w"})";
const std::string kClaude = R"({"hookSpecificOutput":{"hookEventName":"PermissionRequest","decision":{"behavior":")";
const std::string kAllow = kClaude + "allow\"}}}\n";
const std::string kCursorCli = "{\"permissions\": {\"allow\": [\"Shell(ls)\"]},\n \"editor\": {\"vimMode\": true}}\n";
const std::string kCursorPermissions = R"({"terminalAllowlist":["ls"]})";
const std::string kCodexConfig = "model = 1\napproval_policy = \"untrusted\"\n[tui]\n";
const std::string kKimiConfig = "model = \"k2\"\ndefault_yolo = false\n";

// A configuration the hook follows the lever in: what it holds after lever 0 (empty: anything but
// the original) and after lever 2. Without a lever it must stay byte for byte as it was.
struct Followed {
    std::string path, original, atZero, elsewhere;
};
const Followed kCodexFile = {".codex/config.toml", kCodexConfig, "model = 1\napproval_policy = \"on-request\"\n[tui]\n",
                             "model = 1\napproval_policy = \"on-request\"\n[tui]\n"};

// Every assistant's permission hook: its answer at lever 0 and otherwise (lever elsewhere or no
// agent), the hook name its record and refusal note give, and the files it follows the lever in.
// Cursor's files start relaxed unless at lever 0, so that lever 2 must bring the user's own back.
struct Assistant {
    const char* event;
    std::string ide, hookEvent, allow, ask;
    std::vector<Followed> files;  // with files, the sync asks for the lever again once it holds the lock
    std::string noteName;         // the assistant as the refusal note names it
    int led = 1;                  // what the agent shows while it reads the lever
};
const std::vector<Followed> kCursorFiles = {{".cursor/cli-config.json", kCursorCli, "", kCursorCli},
                                            {".cursor/permissions.json", kCursorPermissions, "", kCursorPermissions}};
const Followed kKimiFile = {".kimi/config.toml", kKimiConfig,
                            "model = \"k2\"\n" + std::string(KimiConfigLeverSync::kAutoTemplate) + "\n",
                            "model = \"k2\"\n" + std::string(KimiConfigLeverSync::kManualTemplate) + "\n"};
const std::string kCodexAsk = "{\"hookSpecificOutput\":{\"hookEventName\":\"PermissionRequest\"}}\n";
const std::string kCursorAnswer = "{\"permission\":\"";
const std::vector<Assistant> kAssistants = {
    {"PermissionRequest", "claude", "PermissionRequest", kAllow, kClaude + "ask\"}}}\n", {}, "Claude"},
    {"CodexPermissionRequest", "codex", "PermissionRequest", kAllow, kCodexAsk, {kCodexFile}, "Codex"},
    {"beforeShellExecution", "cursor", "beforeShellExecution", kCursorAnswer + "allow\"}\n",
     kCursorAnswer + "deny\"}\n", kCursorFiles, "Cursor"},
    {"KimiPreToolUse", "kimi", "PreToolUse", "", "", {kKimiFile}, "Kimi"},
    {"CopilotPermissionRequest", "copilot", "permissionRequest", "{\"behavior\":\"allow\"}\n", "", {}, "Copilot"},
    // Without a Gemini process above the hook there is no secret to stamp with (GeminiTest has them).
    {"GeminiBeforeTool", "gemini", "BeforeTool", "{}\n", "{}\n", {}, "Gemini", 3},
};

TEST(PermissionHooks, AnswerFollowAndLogTheLever) {
    // The scripted agent's lever; nothing: no agent at all.
    const std::pair<std::optional<int64_t>, std::string> situations[] = {
        {0, "allow"}, {2, "ask"}, {std::nullopt, "no_agent_reply"}};
    for (const auto& [lever, diagnostic] : situations) {
        for (const Assistant& a : kAssistants) {
            SCOPED_TRACE(std::string(a.event) + " / " + diagnostic);
            TempDir folder, home;
            for (const Followed& f : a.files) {
                files::createDirectories(std::filesystem::path(home.file(f.path)).parent_path());
                ASSERT_TRUE(files::atomicWrite(home.file(f.path), f.original));
            }
            if (a.ide == "cursor" && lever != 0) {
                CursorCliLeverSync::applyRelaxed(home.path());
                CursorPermissionsJsonLeverSync::applyRelaxed(home.path());
            }
            std::vector<std::string> before;
            for (const Followed& f : a.files) before.push_back(files::readFile(home.file(f.path)).value_or(""));
            std::optional<ScriptedPeer> peer;
            if (lever)
                peer.emplace(
                    folder.file("agent.sock"),
                    [&](int fd) { sendBytes(fd, "{\"switchState\":" + std::to_string(*lever) + ",\"lightMode\":2}\n"); },
                    a.files.empty() || a.ide == "codex" ? 1 : 2);

            const ProcessResult r = runHook(a.event, folder.file("agent.sock"), home.path(), kInput);
            EXPECT_EQ(r.exitCode, 0);
            EXPECT_EQ(r.out, lever == 0 ? a.allow : a.ask);
            const std::string head = "[vemlo-hook] " + a.noteName + " " + a.hookEvent + ": ";
            const std::string note =
                lever == 0   ? ""
                : lever == 2 ? head + "拨杆 switchState=2（非 0），不自动批准。\n"
                             : head + "agent 无回包或 Unix socket 失败（" + folder.file("agent.sock") +
                                   " 连不上/超时，超时 5s：No such file or directory）。请确认 vemloconfig-agent 在跑"
                                   "（systemctl --user status vemloconfig-agent 或 vemloctl status）、且已连上键盘。\n";
            EXPECT_NE(r.err.find(note), std::string::npos) << r.err;
            EXPECT_EQ(r.err.find("不自动批准") == std::string::npos && r.err.find("agent 无回包") == std::string::npos,
                      lever == 0)
                << r.err;
            const std::string again = a.files.empty() || a.ide == "codex" ? "" : "{\"cmd\":\"status\"}\n";
            EXPECT_TRUE(!peer ||
                        peer->request() == "{\"cmd\":\"permission\",\"value\":" + std::to_string(a.led) + "}\n" + again)
                << peer->request();

            const std::vector<Json> records = permissionRecords(home.path());
            ASSERT_EQ(records.size(), 1u);
            const Json& record = records[0];
            EXPECT_TRUE(record["ide"] == a.ide && record["hookEvent"] == a.hookEvent &&
                        record["diagnostic"] == diagnostic && record["tool"]["tool_name"] == "Bash")
                << record;
            EXPECT_EQ(record["switchState"], lever ? Json(*lever) : Json(nullptr));
            EXPECT_TRUE(a.ide != "cursor" || (record["cursorDebug"]["inferredCdPath"] == "/srv" &&
                                              record["cursorDebug"]["stdinFields"] == Json({{"cwd", "/w"}})));
            if (a.ide == "kimi") {
                const std::vector<Json> debug = readJsonLines(diagnosticsFile(home.path(), "kimi-hook-debug.log"));
                ASSERT_GE(debug.size(), 4u);
                EXPECT_TRUE(debug[0]["event"] == "kimi_PreToolUse_start" && debug[1]["agentReplyNil"] == !lever &&
                            debug.back()["kimiDecision"] == record["kimiPreToolDecision"]);
                EXPECT_EQ(record["kimiLeverDebug"]["default_yolo_valueSnippet"], lever == 0 ? "true" : "false");
            }
            if (a.ide == "codex") {
                EXPECT_EQ(readJsonLines(diagnosticsFile(home.path(), "codex-hook.log")).at(0)["decision"],
                          lever == 0 ? "allow" : "pass_through");
            }
            for (size_t i = 0; i < a.files.size(); ++i) {
                const Followed& f = a.files[i];
                const std::string after = files::readFile(home.file(f.path)).value_or("<missing>");
                const std::string& want = !lever ? before[i] : *lever == 0 ? f.atZero : f.elsewhere;
                EXPECT_TRUE(want.empty() ? after != f.original : after == want) << f.path << ":\n" << after;
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
    EXPECT_EQ(runHook("PermissionRequest", agent.socketPath(), home.path(), kInput).out, kAllow);

    ASSERT_TRUE(files::createDirectories(home.file(".codex")) &&
                files::atomicWrite(home.file(".codex/config.toml"), kCodexConfig));
    EXPECT_EQ(runHook("CodexSessionStart", agent.socketPath(), home.path(), kInput).out, "{}\n");
    EXPECT_EQ(files::readFile(home.file(".codex/config.toml")), kCodexFile.atZero);
    const Json codex = readJsonLines(diagnosticsFile(home.path(), "codex-hook.log")).at(0);
    EXPECT_TRUE(codex["agentEvent"] == "CodexSessionStart" && codex["hookEvent"] == "SessionStart" &&
                codex["agentReply"] == true && codex["stateValue"] == wireValue(LedState::sessionStarted));

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
            // The cut input meets a lever at 0: what was left unread does not cost the approval.
            std::optional<ScriptedPeer> peer;
            if (input == &oversized)
                peer.emplace(folder.file("agent.sock"), [](int fd) { sendBytes(fd, "{\"switchState\":0}\n"); });
            const ProcessResult r = runHook(a.event, folder.file("agent.sock"), home.path(), *input);
            EXPECT_EQ(r.exitCode, 0);
            EXPECT_EQ(r.out, peer ? a.allow : a.ask);
            const std::vector<Json> records = permissionRecords(home.path());
            ASSERT_EQ(records.size(), 1u);
            EXPECT_EQ(records[0]["tool"].value("stdinCut", false), input == &oversized);
            EXPECT_EQ(records[0]["tool"].contains("tool_name"), input == &wide);
        }
    }
}

// Replies the real agent does not give but a hook must read safely: only a lever known to be 0 approves.
TEST(PermissionHooks, LeverReadFromAnyReply) {
    // Only a JSON integer is a lever position; a text or a number that merely rounds to 0 is not.
    const std::pair<const char*, std::string> cases[] = {{R"({"switchState":0})", "allow"},
                                                         {R"({"switchState":-0})", "allow"},
                                                         {R"({"switchState":2})", "ask"},
                                                         {R"({"switchState":"0"})", "no_switch_in_reply"},
                                                         {R"({"switchState":0.0})", "no_switch_in_reply"},
                                                         {R"({"switchState":1e-400})", "no_switch_in_reply"},
                                                         {R"({"switchState":true})", "no_switch_in_reply"},
                                                         {R"({"switchState":"zero"})", "no_switch_in_reply"}};
    for (const auto& [reply, diagnostic] : cases) {
        const std::optional<Json> parsed = json::parseObject(reply);
        EXPECT_EQ((HookSupport::LeverReading{parsed, HookSupport::leverInReply(parsed)}.diagnostic()), diagnostic)
            << reply;
    }
}

// One read of at most 4096 bytes must hold one JSON object; anything else is no reply at all.
TEST(RequestClient, TakesOneReadAsTheReply) {
    const auto ofSize = [](size_t size) { return R"({"pad":")" + std::string(size - 10, 'x') + R"("})"; };
    const std::pair<std::string, bool> cases[] = {
        {"{\"switchState\":0,\"lightMode\":2}\n", true},
        // A NUL is not white space: the text is not one JSON value, so the lever is unknown.
        {std::string("{\"switchState\":0}\n\0", 19), false},
        {ofSize(4096), true},
        {ofSize(4097), false},
        // The rest only follows once the client has given up on its single read.
        {"{\"switchState\"", false},
    };
    for (const auto& [bytes, whole] : cases) {
        SCOPED_TRACE(bytes.substr(0, 40));
        TempDir dir;
        ScriptedPeer peer(dir.file("agent.sock"), [&](int fd) {
            sendBytes(fd, bytes);
            if (bytes.back() == '"') waitForClose(fd), sendBytes(fd, ":0}\n");
        });
        const auto reply =
            HookSupport::sendJsonRequest(Json{{"cmd", "permission"}, {"value", 1}}, 1.0, dir.file("agent.sock"));
        EXPECT_EQ(reply, whole ? json::parse(bytes) : std::nullopt);
        EXPECT_EQ(peer.request(), "{\"cmd\":\"permission\",\"value\":1}\n");
    }
}

// Every way an exchange can fail names its reason, and a socket of another user says whose it is.
TEST(RequestClientFailures, Reasons) {
    using Prepare = std::function<std::shared_ptr<void>(const std::string& path)>;
    const Prepare nothing = [](const std::string&) { return nullptr; };
    const auto peer = [](std::function<void(int fd)> script) -> Prepare {
        return [script](const std::string& path) { return std::make_shared<ScriptedPeer>(path, script); };
    };
    const auto stale = [](uid_t owner) -> Prepare {
        return [owner](const std::string& path) {
            ::close(boundSocket(path));
            EXPECT_EQ(::lchown(path.c_str(), owner, owner), 0);
            return nullptr;
        };
    };
    const std::tuple<Prepare, double, std::string, std::optional<uid_t>> cases[] = {
        // A zero time-out would make the socket wait for ever.
        {nothing, 1e-9, "the time-out is not usable", {}},
        {nothing, std::nan(""), "the time-out is not usable", {}},
        {nothing, 60.0, "No such file or directory", {}},
        {stale(::geteuid()), 60.0, "Connection refused", {}},
        {peer([](int) {}), 5.0, "the agent closed the connection without a reply", {}},
        {peer(waitForClose), 0.2, "no reply within 0.2 s", {}},
        // Another user takes root to act as.
        {stale(65534), 60.0, "Connection refused; it belongs to user id 65534", 65534},
        {foreignPeer, 5.0, "it is served by user id 65534, not by this user", 65534},
    };
    for (const auto& [prepare, timeout, reason, otherUser] : cases) {
        SCOPED_TRACE(reason);
        if (otherUser && !canActAsAnotherUser()) continue;
        TempDir dir;
        auto keep = prepare(dir.file("agent.sock"));
        control::Failure failure;
        EXPECT_FALSE(control::exchange(dir.file("agent.sock"), "{\"cmd\":\"status\"}\n", timeout, &failure));
        EXPECT_NE(failure.reason.find(reason), std::string::npos) << failure.reason;
        EXPECT_EQ(failure.otherUser, otherUser);
    }
    if (!canActAsAnotherUser()) GTEST_SKIP() << "the rows of another user's socket " << kNeedsRoot;
}

}  // namespace
}  // namespace vemlo
