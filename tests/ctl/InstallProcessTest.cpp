#include "ctl/KimiHookBlock.h"
#include "platform/Files.h"
#include "platform/Json.h"
#include "support/Process.h"
#include "support/TempDir.h"
#include "support/TomlCheck.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace vemlo::test {
namespace {

namespace fs = std::filesystem;

// Settings as people have them: their own hooks, other settings, unusual indentation, comments.
const std::string kClaude = R"text({
  "$schema": "https://json.schemastore.org/claude-code-settings.json",
  "model": "opus",
  "permissions": {
    "allow": ["Bash(npm run lint)", "Read(~/.zshrc)"],
    "deny": ["Read(./.env)"]
  },
  "env": {"GREETING": "grüß dich ✓", "RATIO": 0.25},
  "hooks": {
    "PreToolUse": [
      {"matcher": "Bash", "hooks": [{"type": "command", "command": "~/bin/check-bash.sh", "timeout": 5}]}
    ],
    "Stop": [{"hooks": [{"type": "command", "command": "notify-send done"}]}]
  },
  "statusLine": {"type": "command", "command": "~/.claude/statusline.sh"}
}
)text";

const std::string kCodex = R"text({
    "hooks": {
        "SessionStart": [
            {
                "matcher": "startup|resume",
                "hooks": [ { "type": "command", "command": "python3 ~/.codex/hooks/session_start.py" } ]
            }
        ]
    }
})text";

const std::string kCursor =
    "{\n\t\"version\": 1,\n\t\"hooks\": {\n\t\t\"afterFileEdit\": [{\"command\": \"./hooks/format.sh\"}],"
    "\n\t\t\"beforeShellExecution\": [{\"command\": \"./hooks/audit.sh\"}]\n\t}\n}\n";

const std::string kKimi = R"text(# Kimi CLI configuration, tuned by hand
default_model = "kimi-for-coding"
default_thinking = false
default_yolo = false
hooks = []
merge_all_available_skills = false

[models."kimi-for-coding"]
provider = "managed:kimi-code"
model = "kimi-for-coding"
max_context_size = 262144

[providers."managed:kimi-code"]
type = "kimi"
base_url = "https://api.kimi.com/coding/v1"
api_key = "sk-secret"   # set with /login

[loop_control]
max_steps_per_turn = 100
notes = """
[[hooks]] in here is only text
"""
)text";

struct Assistant {
    std::string file;  // under HOME
    std::string original;
    bool isJson;
};

const std::vector<Assistant> kFiles = {
    {".claude/settings.json", kClaude, true},
    {".codex/hooks.json", kCodex, true},
    {".cursor/hooks.json", kCursor, true},
    {".kimi/config.toml", kKimi, false},
};

// Our hook commands in a file's text, counted by the command's tail.
size_t oursIn(const std::string& text) { return occurrences(text, "vemloconfig-agent hook "); }

// Whether `edited` still holds everything of `original`: every member, and every list's entries
// first and in their order (ours are appended).
bool holds(const Json& original, const Json& edited) {
    if (original.is_object()) {
        if (!edited.is_object()) return false;
        for (auto it = original.begin(); it != original.end(); ++it)
            if (!edited.contains(it.key()) || !holds(it.value(), edited[it.key()])) return false;
        return true;
    }
    if (original.is_array()) {
        if (!edited.is_array() || edited.size() < original.size()) return false;
        for (size_t i = 0; i < original.size(); ++i)
            if (original[i] != edited[i]) return false;
        return true;
    }
    return original == edited;
}

std::map<std::string, std::string> snapshot(const std::string& root) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        if (entry.is_regular_file()) files[entry.path().string()] = files::readFile(entry.path().string()).value_or("");
    return files;
}

struct InstallProcessTest : ::testing::Test {
    TempDir home;
    TempDir tools;  // a fake systemctl that records its calls

    void SetUp() override {
        for (const Assistant& a : kFiles) {
            const std::string path = home.file(a.file);
            files::createDirectories(path.substr(0, path.rfind('/')));
            ASSERT_TRUE(files::atomicWrite(path, a.original));
        }
        ::chmod(home.file(".kimi/config.toml").c_str(), 0600);
        fakeSystemctl("exit 0");
    }

    void fakeSystemctl(const std::string& result) {
        const std::string script = "#!/bin/sh\necho \"$*\" >> '" + tools.file("systemctl.log") + "'\n" + result + "\n";
        ASSERT_TRUE(files::atomicWrite(tools.file("systemctl"), script));
        ::chmod(tools.file("systemctl").c_str(), 0755);
    }

    ProcessResult vemloctl(std::vector<std::string> args, const std::string& path = "") {
        args.insert(args.begin(), VEMLO_CTL_BINARY);
        return runProcess(args,
                          {{"HOME", home.path()},
                           {"PATH", path.empty() ? tools.path() + ":/usr/bin:/bin" : path},
                           {"XDG_CONFIG_HOME", ""},
                           {"VEMLO_SOCKET", home.file("no-agent.sock")}},
                          "", 60s);
    }

    std::string read(const std::string& relative) const { return files::readFile(home.file(relative)).value_or(""); }
    std::string systemctlCalls() const { return files::readFile(tools.file("systemctl.log")).value_or(""); }
};

TEST_F(InstallProcessTest, InstallRegistersOnceKeepsEverythingAndUninstallRestoresIt) {
    ProcessResult first = vemloctl({"install", "--agent", VEMLO_AGENT_BINARY});
    ASSERT_EQ(first.exitCode, 0) << first.out << first.err;
    const size_t expectedHooks[] = {11, 6, 7, 7};
    for (size_t i = 0; i < kFiles.size(); ++i) {
        const Assistant& a = kFiles[i];
        SCOPED_TRACE(a.file);
        const std::string text = read(a.file);
        EXPECT_EQ(oursIn(text), expectedHooks[i]);
        EXPECT_EQ(read(a.file + ".vemloctl.bak"), a.original);
        if (a.isJson) {
            auto doc = json::parse(text);
            ASSERT_TRUE(doc.has_value());
            EXPECT_TRUE(holds(*json::parse(a.original), *doc));
        } else {
            EXPECT_TRUE(isValidToml(text));
            EXPECT_NE(text.find("# disabled by vemloctl (uninstall restores it): hooks = []\n"), std::string::npos);
        }
    }
    struct stat st {};
    ASSERT_EQ(::stat(home.file(".kimi/config.toml.vemloctl.bak").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "the backup holds the API key";
    ASSERT_EQ(::stat(home.file(".local/bin/vemloconfig-agent").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
    EXPECT_EQ(files::readFile(home.file(".local/bin/vemloconfig-agent")), files::readFile(VEMLO_AGENT_BINARY));
    EXPECT_NE(read(".config/systemd/user/vemloconfig-agent.service").find("ExecStart=%h/.local/bin/vemloconfig-agent"),
              std::string::npos);
    EXPECT_EQ(systemctlCalls(),
              "--user daemon-reload\n--user enable vemloconfig-agent.service\n"
              "--user restart vemloconfig-agent.service\n");
    EXPECT_NE(first.out.find("enter /hooks and trust"), std::string::npos) << "Codex's trust step is pointed out";
    EXPECT_NE(read(".claude/settings.json").find(home.path() + "/.local/bin/vemloconfig-agent hook PermissionRequest"),
              std::string::npos);

    ProcessResult shown = vemloctl({"status"});
    EXPECT_NE(shown.out.find("Hooks:\n  Claude Code registered (11 events)\n  Codex       registered (6 events)\n"
                             "  Cursor      registered (7 events)\n  Kimi CLI    registered (7 events)\n"),
              std::string::npos)
        << shown.out;

    const auto installed = snapshot(home.path());
    ProcessResult second = vemloctl({"install", "--agent", VEMLO_AGENT_BINARY});
    ASSERT_EQ(second.exitCode, 0) << second.err;
    EXPECT_EQ(snapshot(home.path()), installed);
    EXPECT_NE(second.out.find("hooks already registered"), std::string::npos) << second.out;
    EXPECT_EQ(second.out.find("enter /hooks and trust"), std::string::npos);

    ProcessResult removed = vemloctl({"uninstall"});
    ASSERT_EQ(removed.exitCode, 0) << removed.out << removed.err;
    for (const Assistant& a : kFiles) {
        SCOPED_TRACE(a.file);
        if (a.isJson) {
            EXPECT_EQ(json::parse(read(a.file)), json::parse(a.original));
        } else {
            EXPECT_EQ(read(a.file), a.original);
        }
    }
    // The Kimi file is back byte for byte, so its backup has nothing left to give; reformatted
    // JSON files keep theirs.
    EXPECT_FALSE(files::exists(home.file(".kimi/config.toml.vemloctl.bak")));
    EXPECT_EQ(read(".claude/settings.json.vemloctl.bak"), kClaude);
    EXPECT_FALSE(files::exists(home.file(".config/systemd/user/vemloconfig-agent.service")));
    EXPECT_FALSE(files::exists(home.file(".local/bin/vemloconfig-agent")));
    EXPECT_NE(systemctlCalls().find("--user disable --now vemloconfig-agent.service\n--user daemon-reload\n"),
              std::string::npos);
}

TEST_F(InstallProcessTest, AMalformedFileIsReportedAndLeftWhileTheOthersAreDone) {
    const std::string broken = "{\n  // Claude Code does not allow comments\n  \"model\": \"opus\",\n}\n";
    ASSERT_TRUE(files::atomicWrite(home.file(".claude/settings.json"), broken));
    for (const std::vector<std::string>& command :
         {std::vector<std::string>{"install", "--agent", VEMLO_AGENT_BINARY}, std::vector<std::string>{"uninstall"}}) {
        ProcessResult r = vemloctl(command);
        EXPECT_EQ(r.exitCode, 1) << command[0];
        EXPECT_NE(r.err.find(".claude/settings.json: it is not valid JSON; the file was left exactly as it was"),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(read(".claude/settings.json"), broken);
        EXPECT_FALSE(files::exists(home.file(".claude/settings.json.vemloctl.bak")));
    }
    EXPECT_EQ(read(".kimi/config.toml"), kKimi) << "uninstall took the Kimi hooks out again";
}

TEST_F(InstallProcessTest, DryRunChangesNothing) {
    const auto before = snapshot(home.path());
    ProcessResult r = vemloctl({"install", "--dry-run", "--agent", VEMLO_AGENT_BINARY});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(snapshot(home.path()), before);
    EXPECT_EQ(systemctlCalls(), "");
    EXPECT_NE(r.out.find("Kimi CLI: ~/.kimi/config.toml: would add 7 hooks"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("would copy"), std::string::npos);
}

TEST_F(InstallProcessTest, WithoutSystemdTheRestIsStillDone) {
    struct Case {
        const char* name;
        std::string systemctl;  // empty: none on the PATH
        std::string reason;
    };
    const Case cases[] = {
        {"NoUserBus", "echo 'Failed to connect to bus: No medium found' >&2; exit 1", "Failed to connect to bus"},
        {"NoSystemctl", "", "systemctl was not found"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = tools.path();
        if (c.systemctl.empty())
            path = home.file("no-such-folder");
        else
            fakeSystemctl(c.systemctl);
        ProcessResult r = vemloctl({"install", "--only", "cursor", "--agent", VEMLO_AGENT_BINARY}, path);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_NE(r.out.find("the systemd user manager cannot be reached (" + c.reason), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("start the agent yourself with `" + home.path() + "/.local/bin/vemloconfig-agent &`"),
                  std::string::npos);
        EXPECT_TRUE(files::exists(home.file(".config/systemd/user/vemloconfig-agent.service")));
        EXPECT_EQ(oursIn(read(".cursor/hooks.json")), 7u);
        EXPECT_EQ(read(".claude/settings.json"), kClaude) << "--only leaves the others alone";
    }
}

TEST_F(InstallProcessTest, OnlyAssistantsThatAreInstalledAndFilesCreatedForUsGoAgain) {
    fs::remove_all(home.file(".claude"));
    fs::remove_all(home.file(".codex"));
    fs::remove(home.file(".cursor/hooks.json"));
    fs::remove(home.file(".kimi/config.toml"));
    ProcessResult r = vemloctl({"install", "--agent", VEMLO_AGENT_BINARY});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("Claude Code: ~/.claude not found"), std::string::npos) << r.out;
    EXPECT_FALSE(files::exists(home.file(".claude")));
    EXPECT_EQ(json::parse(read(".cursor/hooks.json")).value()["version"], 1);
    EXPECT_TRUE(isValidToml(read(".kimi/config.toml")));
    ASSERT_EQ(vemloctl({"uninstall"}).exitCode, 0);
    EXPECT_FALSE(files::exists(home.file(".cursor/hooks.json")));
    EXPECT_FALSE(files::exists(home.file(".kimi/config.toml")));
    EXPECT_TRUE(files::exists(home.file(".cursor")));
}

// Copilot CLI loads every hooks/*.json of its folder, so ours is a file apart: written whole, left
// alone when it is current, removed whole, and no other file of the folder is touched.
TEST_F(InstallProcessTest, CopilotGetsAFileOfItsOwn) {
    const std::string mine = R"({"version": 1, "hooks": {"sessionStart": [{"type": "command", "bash": "./mine.sh"}]}})";
    ASSERT_TRUE(files::createDirectories(home.file(".copilot/hooks")));
    ASSERT_TRUE(files::atomicWrite(home.file(".copilot/hooks/mine.json"), mine));
    const std::string ours = ".copilot/hooks/vemloconfig-agent.json";

    ProcessResult first = vemloctl({"install", "--only", "copilot", "--agent", VEMLO_AGENT_BINARY});
    ASSERT_EQ(first.exitCode, 0) << first.out << first.err;
    EXPECT_NE(first.out.find("Copilot CLI: ~/" + ours + ": created it with 8 hooks\n"), std::string::npos) << first.out;
    const auto doc = json::parse(read(ours));
    ASSERT_TRUE(doc.has_value());
    EXPECT_EQ((*doc)["version"], 1);
    const std::string agent = home.path() + "/.local/bin/vemloconfig-agent hook ";
    const std::vector<std::pair<std::string, std::string>> events = {
        {"sessionStart", "CopilotSessionStart"}, {"userPromptSubmitted", "CopilotUserPromptSubmitted"},
        {"preToolUse", "CopilotPreToolUse"},     {"postToolUse", "CopilotPostToolUse"},
        {"agentStop", "CopilotAgentStop"},       {"sessionEnd", "CopilotSessionEnd"},
        {"notification", "CopilotNotification"}, {"permissionRequest", "CopilotPermissionRequest"}};
    EXPECT_EQ((*doc)["hooks"].size(), events.size());
    for (const auto& [event, agentEvent] : events)
        EXPECT_EQ((*doc)["hooks"][event],
                  Json::array({Json{{"bash", agent + agentEvent}, {"timeoutSec", 10}, {"type", "command"}}}))
            << event;
    EXPECT_EQ(read(".claude/settings.json"), kClaude) << "--only leaves the others alone";
    EXPECT_NE(vemloctl({"status"}).out.find("  Copilot CLI registered (8 events)\n"), std::string::npos);

    const auto installed = snapshot(home.path());
    ProcessResult second = vemloctl({"install", "--only", "copilot", "--agent", VEMLO_AGENT_BINARY});
    EXPECT_EQ(snapshot(home.path()), installed);
    EXPECT_NE(second.out.find("hooks already registered (8 events)"), std::string::npos) << second.out;

    ProcessResult removed = vemloctl({"uninstall", "--only", "copilot"});
    ASSERT_EQ(removed.exitCode, 0) << removed.err;
    EXPECT_FALSE(files::exists(home.file(ours)));
    EXPECT_EQ(read(".copilot/hooks/mine.json"), mine);
    EXPECT_FALSE(files::exists(home.file(ours + ".vemloctl.bak")));
}

TEST_F(InstallProcessTest, CommandLineMistakesAndHelp) {
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string text;  // expected in standard output (exit 0) or standard error
    };
    const Case cases[] = {
        {{}, 2, "Usage: vemloctl <command>"},
        {{"--help"}, 0, "Usage: vemloctl <command>"},
        {{"--version"}, 0, "vemloctl " VEMLO_PROJECT_VERSION "\n"},
        {{"--version", "now"}, 2, "unknown command \"--version\""},
        {{"install", "--help"}, 0, "--dry-run"},
        {{"help", "uninstall"}, 0, "Usage: vemloctl uninstall"},
        {{"status", "-h"}, 0, "Exit status"},
        {{"lever", "--help"}, 0, "next real status report"},
        {{"install", "--only", "claude,vim"}, 2, "unknown assistant \"vim\""},
        {{"install", "--only"}, 2, "--only needs a value"},
        {{"uninstall", "--agent", "/x"}, 2, "unknown option --agent"},
        {{"lever", "256"}, 2, "from 0 to 255, or clear"},
        {{"lever", "-1"}, 2, "from 0 to 255, or clear"},
        {{"lever"}, 2, "needs one position"},
        {{"status", "now"}, 2, "takes no arguments"},
        {{"start"}, 2, "unknown command \"start\""},
        {{"install", "--agent", "/nowhere/vemloconfig-agent"}, 1, "give its path with --agent"},
    };
    const auto before = snapshot(home.path());
    for (const Case& c : cases) {
        ProcessResult r = vemloctl(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.args.size();
        EXPECT_NE((c.exitCode == 0 ? r.out : r.err).find(c.text), std::string::npos) << r.out << r.err;
    }
    EXPECT_EQ(snapshot(home.path()), before);
}

}  // namespace
}  // namespace vemlo::test
