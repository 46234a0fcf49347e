#include "ScriptedPeer.h"
#include "hook/HookSupport.h"
#include "leversync/CursorCliLeverSync.h"
#include "leversync/CursorPermissionsJsonLeverSync.h"
#include "platform/Files.h"
#include "platform/Json.h"
#include "support/Process.h"
#include "support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <optional>
#include <set>

namespace vemlo {
namespace {

using namespace test;
using testing::HasSubstr;
using testing::MatchesRegex;
using testing::Not;

const std::string kInput =
    R"({"conversation_id":"c-42","hook_event_name":"beforeShellExecution","command":"cd /srv/app && make",)"
    R"("cwd":"/srv/app","shell":"zsh"})";

// The user's own files, deliberately not in the pretty, sorted form the relaxation writes, so only a
// byte-for-byte restoration brings them back.
const std::string kUserCliConfig =
    "{\"permissions\": {\"deny\": [\"Shell(rm)\"], \"allow\": [\"Shell(ls)\", 3]},\n \"editor\": {\"vimMode\": "
    "true}}\n";
const std::string kUserPermissions = R"({"mcpAllowlist":["srv:*"],"terminalAllowlist":["ls"]})";

std::string answer(const std::string& permission) { return R"({"permission":")" + permission + "\"}\n"; }

// A home directory with the user's two Cursor files in it.
struct CursorHome {
    TempDir dir;
    CursorHome() {
        files::createDirectories(file(""));
        files::atomicWrite(file("cli-config.json"), kUserCliConfig);
        files::atomicWrite(file("permissions.json"), kUserPermissions);
    }
    std::string path() const { return dir.path(); }
    std::string file(const std::string& name) const { return dir.path() + "/.cursor/" + name; }
    std::string read(const std::string& name) const { return files::readFile(file(name)).value_or("<missing>"); }
    std::set<std::string> entries() const {
        std::set<std::string> out;
        for (const auto& entry : std::filesystem::directory_iterator(file(""))) out.insert(entry.path().filename());
        return out;
    }
    void relax() const {
        CursorCliLeverSync::applyRelaxed(path());
        CursorPermissionsJsonLeverSync::applyRelaxed(path());
    }
    // Exactly the user's files, with no snapshot, marker or temporary file beside them.
    void expectUsersOwn() const {
        EXPECT_EQ(read("cli-config.json"), kUserCliConfig);
        EXPECT_EQ(read("permissions.json"), kUserPermissions);
        EXPECT_EQ(entries(), (std::set<std::string>{"cli-config.json", "permissions.json"}));
    }
};

enum class FilesAfter { relaxed, usersOwn, asBefore };

struct CursorCase {
    const char* name;
    const char* event;
    std::optional<int> lever;          // the real agent on the simulated keyboard at this lever
    std::optional<std::string> reply;  // else a scripted peer with this reply; neither: no agent
    bool startRelaxed;
    std::string permission;
    Json switchState;
    bool agentReply;
    std::string diagnostic;
    FilesAfter filesAfter;
};
void PrintTo(const CursorCase& c, std::ostream* os) { *os << c.name; }

class CursorHookProcess : public testing::TestWithParam<CursorCase> {
protected:
    TempDir folder;
    CursorHome home;
};

TEST_P(CursorHookProcess, AnswersFromTheLeverAndFollowsItInBothFiles) {
    const CursorCase& c = GetParam();
    if (c.startRelaxed) home.relax();
    const std::string cliBefore = home.read("cli-config.json");
    const std::string permissionsBefore = home.read("permissions.json");

    std::optional<AgentProcess> agent;
    std::optional<ScriptedPeer> peer;
    if (c.lever) {
        agent.emplace(folder.path(), folder.path(),
                      std::map<std::string, std::string>{{"VEMLO_SIM_LEVER", std::to_string(*c.lever)}});
        ASSERT_TRUE(agent->waitForLog("通知通道已订阅"));
    } else if (c.reply) {
        peer.emplace(folder.file("agent.sock"), [&](int fd) { ScriptedPeer::send(fd, *c.reply); });
    }

    auto r = runHook(c.event, folder.file("agent.sock"), home.path(), kInput, {{"CURSOR_TRACE_ID", "t-7"}});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, answer(c.permission));
    const auto lever = c.switchState.is_number() ? std::optional(c.switchState.get<int64_t>()) : std::nullopt;
    EXPECT_EQ(r.err, "[vemlo-hook] DEBUG: received event: '" + std::string(c.event) + "'\n" +
                         HookSupport::permissionStderrMessage("Cursor", c.event, c.agentReply, lever));
    if (peer) {
        EXPECT_EQ(peer->request(), "{\"cmd\":\"permission\",\"value\":1}\n");
    }

    auto records = permissionRecords(home.path());
    ASSERT_EQ(records.size(), 1u);
    const Json& record = records[0];
    EXPECT_EQ(record.size(), 10u) << record;
    EXPECT_THAT(record["ts"].get<std::string>(), MatchesRegex("[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}"));
    EXPECT_EQ(record["ide"], "cursor");
    EXPECT_EQ(record["hookEvent"], c.event);
    EXPECT_EQ(record["switchState"], c.switchState);
    EXPECT_EQ(record["isAuto"], c.permission == "allow");
    EXPECT_EQ(record["agentReply"], c.agentReply);
    EXPECT_EQ(record["diagnostic"], c.diagnostic);
    EXPECT_EQ(record["cursorPermission"], c.permission);
    EXPECT_EQ(record["tool"], HookSupport::parseStdinContext(kInput, "Cursor"));
    const Json& debug = record["cursorDebug"];
    EXPECT_EQ(debug["stdinFields"], json::parse(R"({"cwd":"/srv/app","shell":"zsh","conversation_id":"c-42"})"));
    EXPECT_EQ(debug["processEnvCursorVscode"]["CURSOR_TRACE_ID"], "t-7");
    EXPECT_EQ(debug["inferredCdPath"], "/srv/app");
    EXPECT_EQ(debug["projectCliJsonExists"], false);
    // The snapshot in the record is the state this run left behind.
    EXPECT_EQ(debug["userCliConfig"], CursorCliLeverSync::diagnosticSnapshotForLog(home.path()));
    EXPECT_EQ(debug["userPermissionsJson"], CursorPermissionsJsonLeverSync::diagnosticSnapshotForLog(home.path()));

    switch (c.filesAfter) {
    case FilesAfter::relaxed:
        EXPECT_EQ(debug["userCliConfig"]["approvalMode"], "auto");
        EXPECT_EQ(debug["userPermissionsJson"]["terminalAllowlistHasPrefix_cd"], true);
        break;
    case FilesAfter::usersOwn:
        home.expectUsersOwn();
        break;
    case FilesAfter::asBefore:
        EXPECT_EQ(home.read("cli-config.json"), cliBefore);
        EXPECT_EQ(home.read("permissions.json"), permissionsBefore);
        EXPECT_EQ(home.entries().size(), 4u) << "both snapshots kept for a later restoration";
        break;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, CursorHookProcess,
    testing::Values(
        CursorCase{"LeverZeroAllowsAndRelaxes",
                   "beforeShellExecution",
                   0,
                   {},
                   false,
                   "allow",
                   0,
                   true,
                   "allow",
                   FilesAfter::relaxed},
        CursorCase{
            "LeverTwoDeniesAndRestores", "preToolUse", 2, {}, true, "deny", 2, true, "ask", FilesAfter::usersOwn},
        CursorCase{"EmptyReplyDeniesAndKeepsFiles",
                   "beforeMCPExecution",
                   {},
                   "{}",
                   true,
                   "deny",
                   nullptr,
                   true,
                   "no_switch_in_reply",
                   FilesAfter::asBefore},
        CursorCase{"NoAgentDeniesAndKeepsFiles",
                   "preToolUse",
                   {},
                   {},
                   true,
                   "deny",
                   nullptr,
                   false,
                   "no_agent_reply",
                   FilesAfter::asBefore}),
    [](const auto& info) { return std::string(info.param.name); });

// Hooks at lever 0 and lever 1 racing on the same two files: whatever order they run in, one later
// run at lever 1 must leave exactly the user's files.
TEST(CursorHookConcurrency, RacingLeversNeverLoseTheUsersFiles) {
    constexpr int kRounds = 2;
    constexpr int kHooks = 16;
    TempDir folderAtZero, folderAtOne;
    CursorHome home;
    AgentProcess atZero(folderAtZero.path(), folderAtZero.path(), {{"VEMLO_SIM_LEVER", "0"}});
    AgentProcess atOne(folderAtOne.path(), folderAtOne.path(), {{"VEMLO_SIM_LEVER", "1"}});
    ASSERT_TRUE(atZero.waitForLog("通知通道已订阅"));
    ASSERT_TRUE(atOne.waitForLog("通知通道已订阅"));
    const char* events[] = {"preToolUse", "beforeShellExecution", "beforeMCPExecution"};
    // Hooks that all find the log missing each create it whole and only the last one's line stays;
    // an existing log makes every record an append, so the count below is exact.
    files::createDirectories(diagnosticsFile(home.path(), ""));
    files::atomicWrite(diagnosticsFile(home.path(), "permission-request.log"), "");

    for (int round = 0; round < kRounds; ++round) {
        std::vector<std::future<ProcessResult>> hooks;
        for (int i = 0; i < kHooks; ++i) {
            const std::string socket = i % 2 ? atOne.socketPath() : atZero.socketPath();
            hooks.push_back(std::async(std::launch::async,
                                       [&, socket, i] { return runHook(events[i % 3], socket, home.path(), kInput); }));
        }
        for (int i = 0; i < kHooks; ++i) {
            const ProcessResult r = hooks[i].get();
            EXPECT_EQ(r.out, answer(i % 2 ? "deny" : "allow")) << "round " << round << ", hook " << i;
            EXPECT_THAT(r.err, Not(HasSubstr("LeverSync:"))) << "round " << round << ", hook " << i;
        }
    }
    EXPECT_EQ(runHook("preToolUse", atOne.socketPath(), home.path(), kInput).out, answer("deny"));

    home.expectUsersOwn();
    EXPECT_EQ(permissionRecords(home.path()).size(), size_t{kRounds * kHooks + 1});
}

}  // namespace
}  // namespace vemlo
