#include "hook/KimiSessionRecord.h"
#include "platform/Files.h"
#include "support/Process.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vemlo {
namespace {

using namespace test;

// The hook run as an assistant runs it: below a process whose command line is `ancestor` (argv[0] the
// program's name, then its flags), which the guards read from /proc. Empty: below the test itself.
ProcessResult runHookBelow(const std::vector<std::string>& ancestor, const std::string& event,
                           const std::string& socketPath, const std::string& home, const std::string& input,
                           Env env = {}) {
    if (ancestor.empty()) return runHook(event, socketPath, home, input, std::move(env));
    env.emplace("VEMLO_SOCKET", socketPath), env.emplace("HOME", home);
    // bash -c 'script' $0 $1 ...: the inner shell, named ancestor[0], stays the hook's parent.
    std::string command = "exec -a " + ancestor[0] + " /bin/bash -c '\"$0\" hook " + event + "; exit $?' " +
                          VEMLO_AGENT_BINARY;
    for (size_t i = 1; i < ancestor.size(); ++i) command += " '" + ancestor[i] + "'";  // no quotes in the rows
    return runProcess({"/bin/bash", "-c", command}, env, input);
}

// What a guard answered, by its shape: "" (nothing), "{}", "ask" and "deny" in the nested format of
// Claude Code, Codex and Kimi, "flat_ask" in Copilot's.
std::string answerKind(const std::string& out) {
    if (out.empty() || out == "{}\n") return out.empty() ? "" : "{}";
    const auto answer = json::parseObject(out);
    if (!answer) return "unreadable: " + out;
    if (answer->contains("hookSpecificOutput")) return (*answer)["hookSpecificOutput"].value("permissionDecision", "?");
    return "flat_" + answer->value("permissionDecision", std::string("?"));
}

std::string reasonOf(const std::string& out) {
    const auto answer = json::parseObject(out);
    if (!answer) return "";
    const Json& inner = answer->contains("hookSpecificOutput") ? (*answer)["hookSpecificOutput"] : *answer;
    return inner.value("permissionDecisionReason", "");
}

std::string input(const std::string& toolKey, const std::string& tool, const std::string& mode = "") {
    Json in = {{"session_id", "guard-test-session"}, {"hook_event_name", "PreToolUse"}, {toolKey, tool}};
    if (!mode.empty()) in["permission_mode"] = mode;
    return json::dumpCompact(in);
}

struct GuardRow {
    const char* what;
    std::vector<std::string> ancestor;
    std::string event, input;
    std::string atOne, atZero;  // the answer's kind with the lever at 1 (and without an agent), at 0
    std::string reasonHas = {};   // a piece of the reason at lever 1
    std::string kimiConfig = {};  // default_yolo line of Kimi's file; empty: no file
    Env env = {};
};

const std::string kYoloTrue = "default_yolo = true\n";
const std::string kYoloFalse = "default_yolo = false\n";

const std::vector<GuardRow> kRows = {
    {"claude bypass asks for a tool the default mode asks about", {}, "PreToolUse",
     input("tool_name", "Bash", "bypassPermissions"), "ask", "", "permission_mode=bypassPermissions"},
    {"claude acceptEdits counts as a bypass", {}, "PreToolUse", input("tool_name", "Edit", "acceptEdits"), "ask", ""},
    {"claude bypass leaves a read-only tool", {}, "PreToolUse", input("tool_name", "Read", "bypassPermissions"), "", ""},
    {"claude default mode asks through PermissionRequest", {}, "PreToolUse", input("tool_name", "Bash", "default"), "",
     ""},
    {"claude plan mode", {}, "PreToolUse", input("tool_name", "Write", "plan"), "", ""},
    {"codex exec denies without /permissions", {"codex", "exec", "--json"}, "CodexPreToolUse",
     input("tool_name", "Bash", "bypassPermissions"), "deny", "{}", "拨杆"},
    {"codex TUI in a bypass names /permissions", {"codex"}, "CodexPreToolUse",
     input("tool_name", "Bash", "bypassPermissions"), "deny", "{}", "/permissions"},
    {"codex asking per call", {"codex"}, "CodexPreToolUse", input("tool_name", "Bash", "default"), "{}", "{}"},
    {"copilot --allow-all-tools asks for a shell", {"copilot", "--allow-all-tools"}, "CopilotPreToolUse",
     input("toolName", "bash"), "flat_ask", "", "--allow-all-tools"},
    {"copilot --yolo", {"copilot", "--yolo"}, "CopilotPreToolUse", input("toolName", "edit"), "flat_ask", ""},
    {"copilot --allow-tool with a value", {"copilot", "--allow-tool=shell(git)"}, "CopilotPreToolUse",
     input("toolName", "bash"), "flat_ask", ""},
    {"copilot read-only tool", {"copilot", "--allow-all"}, "CopilotPreToolUse", input("toolName", "view"), "", ""},
    {"copilot that asks itself", {"copilot", "-p", "--allow-all-tools is not a flag here"}, "CopilotPreToolUse",
     input("toolName", "bash"), "", ""},
    {"copilot allow-all from its environment", {}, "CopilotPreToolUse", input("toolName", "bash"), "flat_ask", "", "",
     "", {{"COPILOT_ALLOW_ALL", " Yes "}}},
    {"kimi --yolo denies", {"kimi", "--yolo"}, "KimiPreToolUse", input("tool_name", "Shell"), "deny", "", "/reload",
     kYoloFalse},
    {"kimi --print denies", {"kimi", "--print", "-p", "x"}, "KimiPreToolUse", input("tool_name", "Shell"), "deny", ""},
    {"kimi unknown session, file true", {"kimi"}, "KimiPreToolUse", input("tool_name", "Shell"), "deny", "", "",
     kYoloTrue},
    {"kimi unknown session, file false", {"kimi"}, "KimiPreToolUse", input("tool_name", "Shell"), "", "", "",
     kYoloFalse},
};

struct Agents {
    TempDir folder0, folder1, home0, home1;
    AgentProcess zero{folder0.path(), home0.path(), {{"VEMLO_SIM_LEVER", "0"}}};
    AgentProcess one{folder1.path(), home1.path(), {{"VEMLO_SIM_LEVER", "1"}}};
    Agents() { EXPECT_TRUE(zero.waitForLog("通知通道已订阅") && one.waitForLog("通知通道已订阅")); }
};

void writeKimiConfig(const std::string& home, const std::string& text) {
    if (text.empty()) return;
    files::createDirectories(home + "/.kimi");
    files::atomicWrite(home + "/.kimi/config.toml", text);
}

TEST(Guards, EachRowAtLeverOneZeroAndWithoutAnAgent) {
    Agents agents;
    for (const GuardRow& row : kRows) {
        for (const char* lever : {"1", "0", "none"}) {
            SCOPED_TRACE(std::string(row.what) + " / lever " + lever);
            TempDir home;
            writeKimiConfig(home.path(), row.kimiConfig);
            const std::string socket = lever == std::string("1")   ? agents.one.socketPath()
                                       : lever == std::string("0") ? agents.zero.socketPath()
                                                                   : home.file("none.sock");
            const ProcessResult r = runHookBelow(row.ancestor, row.event, socket, home.path(), row.input, row.env);
            EXPECT_EQ(r.exitCode, 0);
            const std::string& want = lever == std::string("0") ? row.atZero : row.atOne;
            EXPECT_EQ(answerKind(r.out), want) << r.out << r.err;
            const std::vector<Json> records = permissionRecords(home.path());
            const bool guarded = want != "" && want != "{}";
            ASSERT_EQ(records.size(), guarded || row.event == "KimiPreToolUse" ? 1u : 0u);  // Kimi's: always
            if (!guarded) continue;
            EXPECT_NE(r.err.find(reasonOf(r.out)), std::string::npos) << r.err;
            EXPECT_NE(reasonOf(r.out).find(lever == std::string("1") ? "拨杆在 1" : "读不到拨杆位置"), std::string::npos);
            EXPECT_NE(reasonOf(r.out).find(row.reasonHas), std::string::npos) << reasonOf(r.out);
            EXPECT_EQ(reasonOf(r.out).find('\n'), std::string::npos);
            // Under `codex exec` there is no /permissions to point to.
            EXPECT_TRUE(row.event != "CodexPreToolUse" || row.ancestor.size() <= 1 ||
                        reasonOf(r.out).find("/permissions") == std::string::npos);
            if (row.event != "KimiPreToolUse") {
                EXPECT_TRUE(records[0]["guard"].is_string() &&
                            records[0]["guardDecision"] == want.substr(want.find('_') + 1))
                    << records[0];
            }
        }
    }
}

// What Kimi's session start saw decides, not the file as it reads later: the lever sync rewrites the
// file for the next session, while this one keeps the approval mode it started with.
TEST(Guards, KimiSessionStartRecordsWhatTheSessionSaw) {
    Agents agents;
    const std::pair<std::string, std::string> cases[] = {
        {kYoloTrue, "deny"},  // started in yolo; the file reads false by the time of the tool call
        {kYoloFalse, ""},     // started asking; the file reads true by then
    };
    for (const auto& [atStart, want] : cases) {
        SCOPED_TRACE(atStart);
        TempDir home;
        writeKimiConfig(home.path(), atStart);
        const std::string start = R"({"hook_event_name":"SessionStart","session_id":"s-42","source":"startup"})";
        EXPECT_EQ(runHookBelow({"kimi"}, "KimiSessionStart", agents.one.socketPath(), home.path(), start).out, "");
        writeKimiConfig(home.path(), atStart == kYoloTrue ? kYoloFalse : kYoloTrue);
        const std::string call = R"({"hook_event_name":"PreToolUse","session_id":"s-42","tool_name":"Shell"})";
        EXPECT_EQ(answerKind(runHookBelow({"kimi"}, "KimiPreToolUse", agents.one.socketPath(), home.path(), call).out),
                  want);
        // After /reload the session starts again, and the record follows what it reads now.
        writeKimiConfig(home.path(), kYoloFalse);
        runHookBelow({"kimi"}, "KimiSessionStart", agents.one.socketPath(), home.path(), start);
        EXPECT_EQ(answerKind(runHookBelow({"kimi"}, "KimiPreToolUse", agents.one.socketPath(), home.path(), call).out), "");
        struct stat st{};
        ASSERT_EQ(::stat(KimiSessionRecord::filePath(home.path()).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
    }
}

}  // namespace
}  // namespace vemlo
