#include "hook/GeminiSession.h"
#include "hook/GeminiStamp.h"
#include "leversync/GeminiPolicyFile.h"
#include "platform/LedState.h"
#include "support/Process.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <tuple>

namespace vemlo {
namespace {

using namespace test;

const std::string kSecret = "0123456789abcdef0123456789abcdef";
const std::string kOther = "fedcba9876543210fedcba9876543210";
const std::string kMark = "/.vemloconfig-lever-";

Json stampedAnswer(const Json& toolInput) {
    return Json{{"hookSpecificOutput", {{"hookEventName", "BeforeTool"}, {"tool_input", toolInput}}}};
}

// The BeforeTool answer for each situation: a secret is given only at lever 0 with the process's
// secret known. Only a stamp grants; a stamp the model wrote never survives.
TEST(GeminiStamp, AnswerForEverySituation) {
    const Json shellStamped = {{"command", "ls"}, {"vemloconfig_lever", kSecret}, {"dir_path", "." + kMark + kSecret + "/.."}};
    struct Row {
        const char* what;
        Json event;
        std::optional<std::string> secret;
        Json want;
    };
    const Row rows[] = {
        {"shell at 0: key and dir_path", {{"tool_name", "run_shell_command"}, {"tool_input", {{"command", "ls"}}}},
         kSecret, stampedAnswer(shellStamped)},
        {"the model's folder is kept, its trailing slash dropped",
         {{"tool_name", "run_shell_command"}, {"tool_input", {{"command", "ls"}, {"dir_path", "sub/"}}}}, kSecret,
         stampedAnswer({{"command", "ls"}, {"dir_path", "sub" + kMark + kSecret + "/.."}, {"vemloconfig_lever", kSecret}})},
        {"another tool: the key only",
         {{"tool_name", "write_file"}, {"tool_input", {{"file_path", "/w/a"}, {"content", "x"}}}}, kSecret,
         stampedAnswer({{"file_path", "/w/a"}, {"content", "x"}, {"vemloconfig_lever", kSecret}})},
        {"a forged stamp at 0 is replaced by the real one",
         {{"tool_name", "run_shell_command"},
          {"tool_input", {{"command", "ls"}, {"vemloconfig_lever", kOther}, {"dir_path", "a" + kMark + kOther + "/.."}}}},
         kSecret, stampedAnswer({{"command", "ls"}, {"dir_path", "a" + kMark + kSecret + "/.."}, {"vemloconfig_lever", kSecret}})},
        {"not at 0: nothing", {{"tool_name", "run_shell_command"}, {"tool_input", {{"command", "ls"}}}}, std::nullopt,
         Json::object()},
        {"not at 0, forged key: stripped",
         {{"tool_name", "write_file"}, {"tool_input", {{"file_path", "/w/a"}, {"vemloconfig_lever", kSecret}}}},
         std::nullopt, stampedAnswer({{"file_path", "/w/a"}})},
        {"not at 0, forged folder: cut back",
         {{"tool_name", "run_shell_command"}, {"tool_input", {{"command", "ls"}, {"dir_path", kMark + kSecret + "/.."}}}},
         std::nullopt, stampedAnswer({{"command", "ls"}, {"dir_path", "."}})},
        {"ask_user is never stamped", {{"tool_name", "ask_user"}, {"tool_input", {{"question", "?"}}}}, kSecret,
         Json::object()},
        {"exit_plan_mode is never stamped, and a forged stamp goes",
         {{"tool_name", "exit_plan_mode"}, {"tool_input", {{"vemloconfig_lever", kSecret}}}}, kSecret,
         stampedAnswer(Json::object())},
        {"a folder that is not text is not stamped",
         {{"tool_name", "run_shell_command"}, {"tool_input", {{"command", "ls"}, {"dir_path", 7}}}}, kSecret,
         Json::object()},
        {"arguments that are not an object", {{"tool_name", "write_file"}, {"tool_input", "x"}}, kSecret,
         Json::object()},
        {"an event that is not an object", Json::array({1}), kSecret, Json::object()},
    };
    for (const Row& row : rows) {
        bool granted = true;
        const Json got = GeminiStamp::answer(row.event, row.secret, &granted);
        EXPECT_EQ(got, row.want) << row.what << "\n" << got;
        EXPECT_EQ(granted, got.contains("hookSpecificOutput") && got.dump().find(kSecret) != std::string::npos &&
                               row.secret.has_value())
            << row.what;
    }
}

TEST(GeminiPolicyFile, OnlyOurExactTextHasASecret) {
    const std::string text = GeminiPolicyFile::text(kSecret);
    EXPECT_EQ(GeminiPolicyFile::secretIn(text), kSecret);
    // Both rules carry the same secret, NUL-anchored for Gemini's regex.
    EXPECT_EQ(occurrences(text, kSecret), 2u);
    EXPECT_NE(text.find(R"(argsPattern = '\x00"vemloconfig_lever":")" + kSecret + R"("\x00')"), std::string::npos);
    EXPECT_NE(text.find(R"('\x00"dir_path":"[^\x00]*/\.vemloconfig-lever-)" + kSecret + R"(/\.\."\x00')"),
              std::string::npos);
    std::string twoSecrets = text;
    twoSecrets.replace(twoSecrets.rfind(kSecret), kSecret.size(), kOther);
    const std::string edited[] = {text + "\n", text.substr(1), twoSecrets, GeminiPolicyFile::text("0123"),
                                  GeminiPolicyFile::text(std::string(32, 'G')), ""};
    for (const std::string& e : edited) EXPECT_EQ(GeminiPolicyFile::secretIn(e), std::nullopt) << e;
    const auto a = GeminiPolicyFile::newSecret(), b = GeminiPolicyFile::newSecret();
    ASSERT_TRUE(a && b);
    EXPECT_TRUE(GeminiPolicyFile::secretIn(GeminiPolicyFile::text(*a)) == *a && *a != *b);
}

bool onlyFirstAlive(const GeminiSession::ProcessKey& p) { return p.pid == 10 && p.startTicks == 500; }

// A process is recorded on its first SessionStart and keeps that record; records of processes that
// are gone (or whose pid now names another process) are dropped, and anything unreadable counts as
// unknown.
TEST(GeminiSession, RecordKeepsTheFirstSecretOfEachLiveProcess) {
    const GeminiSession::ProcessKey alive{10, 500}, me{20, 7};
    const Json before = {{"10:500", kOther}, {"11:1", kOther}, {"10:499", kOther}, {"junk", kOther}, {"20:x", 1}};
    bool first = false;
    Json record = GeminiSession::recordStart(before, me, kSecret, onlyFirstAlive, &first);
    EXPECT_TRUE(first);
    EXPECT_EQ(record, Json({{"10:500", kOther}, {"20:7", kSecret}}));
    EXPECT_EQ(GeminiSession::secretFor(record, me), kSecret);
    EXPECT_EQ(GeminiSession::secretFor(record, alive), kOther);
    // /clear or /resume: a later SessionStart of the same process changes nothing.
    record = GeminiSession::recordStart(record, me, kOther, onlyFirstAlive, &first);
    EXPECT_FALSE(first);
    EXPECT_EQ(GeminiSession::secretFor(record, me), kSecret);

    const Json unknown = GeminiSession::recordStart(Json::array(), me, std::nullopt, onlyFirstAlive);
    EXPECT_EQ(unknown, Json({{"20:7", nullptr}}));
    const Json unreadable[] = {unknown, Json({{"20:7", "short"}}), Json({{"20:7", 5}}), Json::object(), Json("x")};
    for (const Json& r : unreadable) EXPECT_EQ(GeminiSession::secretFor(r, me), std::nullopt) << r;
}

TEST(GeminiSession, PolicyCountsOnlyWhenInPlaceBeforeTheProcessStarted) {
    const timespec start{1000, 500};
    EXPECT_TRUE(GeminiSession::loadedBy({999, 999'999'999}, start));
    EXPECT_TRUE(GeminiSession::loadedBy({1000, 499}, start));
    EXPECT_FALSE(GeminiSession::loadedBy({1000, 500}, start));
    EXPECT_FALSE(GeminiSession::loadedBy({1000, 501}, start));
    EXPECT_FALSE(GeminiSession::loadedBy({1001, 0}, start));
}

void setModified(const std::string& path, time_t shift) {
    const timespec times[2] = {{0, UTIME_OMIT}, {::time(nullptr) + shift, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

std::optional<std::string> policySecret(const std::string& home) {
    return GeminiPolicyFile::secretIn(files::readFile(GeminiPolicyFile::path(home)).value_or(""));
}

// The real hooks under a stand-in for Gemini's node process (a shell named "node"), the agent at
// lever 0: the secret in place when the process started stamps its calls, the next process gets a
// new one, and a policy changed after the start, or no node process at all, stamps nothing.
TEST(GeminiHooks, EachProcessStampsWithTheSecretItLoaded) {
    TempDir folder, home;
    AgentProcess agent(folder.path(), home.path(), {{"VEMLO_SIM_LEVER", "0"}});
    ASSERT_TRUE(agent.waitForLog("通知通道已订阅"));
    ASSERT_EQ(::symlink("/bin/sh", folder.file("node").c_str()), 0);
    const std::string event = folder.file("event.json");
    ASSERT_TRUE(files::atomicWrite(
        event, R"({"tool_name":"run_shell_command","tool_input":{"command":"ls","vemloconfig_lever":"x"}})"));
    const std::string hook = std::string(VEMLO_AGENT_BINARY) + " hook ";
    // One Gemini process: two sessions (a start, then /clear), a tool call in each.
    const std::string script = hook + "GeminiSessionStart </dev/null >start1; " + hook + "GeminiBeforeTool <" + event +
                               " >tool1; " + hook + "GeminiSessionStart </dev/null >start2; " + hook +
                               "GeminiBeforeTool <" + event + " >tool2; exit 0";
    const Env env = {{"HOME", home.path()}, {"VEMLO_SOCKET", agent.socketPath()}};
    auto geminiRun = [&](const std::string& name) {
        const std::string dir = folder.file(name);
        files::createDirectories(dir);
        EXPECT_EQ(runProcess({folder.file("node"), "-c", "cd " + dir + " && " + script}, env).exitCode, 0);
        return std::pair{files::readFile(dir + "/tool1").value_or(""), files::readFile(dir + "/tool2").value_or("")};
    };
    auto stamp = [](const std::string& secret) {
        return json::dumpCompact(stampedAnswer({{"command", "ls"},
                                                {"vemloconfig_lever", secret},
                                                {"dir_path", "." + kMark + secret + "/.."}})) + "\n";
    };
    const std::string policy = GeminiPolicyFile::path(home.path());
    const std::string stripped = json::dumpCompact(stampedAnswer({{"command", "ls"}})) + "\n";

    // No policy file: nothing is stamped, and none is created.
    files::createDirectories(home.file(".gemini/policies"));
    EXPECT_EQ(geminiRun("none").first, stripped);
    EXPECT_FALSE(files::nameTaken(policy));
    EXPECT_EQ(files::readFile(folder.file("none/start1")), "{}\n");

    ASSERT_TRUE(GeminiPolicyFile::writeNew(home.path()));
    setModified(policy, -3600);
    const std::string first = policySecret(home.path()).value_or("");
    EXPECT_EQ(geminiRun("first"), std::pair(stamp(first), stamp(first)));
    const std::optional<std::string> second = policySecret(home.path());
    ASSERT_TRUE(second && *second != first) << "rotated once for the next process, not again on /clear";
    struct stat st {};
    EXPECT_TRUE(::stat(policy.c_str(), &st) == 0 && (st.st_mode & 0777) == 0600);
    EXPECT_TRUE(::stat(GeminiSession::stateFile(home.path()).c_str(), &st) == 0 && (st.st_mode & 0777) == 0600);

    setModified(policy, -3600);
    EXPECT_EQ(geminiRun("second").first, stamp(*second));

    // A policy written after the process started (here: dated in the future) is not the one it loaded.
    setModified(policy, 3600);
    EXPECT_EQ(geminiRun("late").first, stripped);
    EXPECT_EQ(permissionRecords(home.path()).back()["processSecret"], "unknown");

    // The LED events answer {} and show their state; Notification asks for the person only before
    // Gemini's own dialog.
    const std::tuple<const char*, const char*, LedState> leds[] = {
        {"GeminiNotification", R"({"notification_type":"ToolPermission"})", LedState::permissionRequest},
        {"GeminiNotification", R"({"notification_type":"Other"})", LedState::notification},
        {"GeminiAfterAgent", "{}", LedState::stop}};
    for (const auto& [name, input, state] : leds) {
        const std::string sent = "→ LED 状态 " + std::to_string(wireValue(state)) + ": ";
        const size_t before = agent.countInLog(sent);
        EXPECT_EQ(runHook(name, agent.socketPath(), home.path(), input).out, "{}\n") << name;
        EXPECT_TRUE(waitFor([&] { return agent.countInLog(sent) > before; })) << name << " " << input;
    }

    // Without a node process above the hook there is no process to know a secret for.
    const ProcessResult direct = runHook("GeminiBeforeTool", agent.socketPath(), home.path(),
                                         files::readFile(event).value_or(""));
    EXPECT_EQ(direct.out, stripped);
    const Json record = permissionRecords(home.path()).back();
    EXPECT_TRUE(record["ide"] == "gemini" && record["hookEvent"] == "BeforeTool" && record["switchState"] == 0 &&
                record["stamped"] == false && record["processSecret"] == "no_gemini_process")
        << record;
}

}  // namespace
}  // namespace vemlo
