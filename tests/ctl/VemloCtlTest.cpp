// vemloctl's command line in process, with HOME, PATH and the socket set for the call; one row
// starts the real program.
#include "ctl/HookRegistrations.h"
#include "ctl/StatusCommand.h"
#include "ctl/VemloCtl.h"
#include "leversync/GeminiPolicyFile.h"
#include "platform/Files.h"
#include "platform/Json.h"
#include "support/Process.h"
#include "support/TempDir.h"
#include "support/TomlCheck.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace vemlo::test {
namespace {

namespace fs = std::filesystem;

// Settings as people have them: their own hooks, other settings, comments, unusual layout.
const std::string kClaude =
    "{\n  \"model\": \"opus\",\n  \"env\": {\"G\": \"grüß ✓\"},\n  \"hooks\": {\"PreToolUse\": [{\"matcher\": "
    "\"Bash\", "
    "\"hooks\": [{\"type\": \"command\", \"command\": \"~/check.sh\"}]}]}\n}\n";
const std::string kKimi =
    "# by hand\ndefault_yolo = false\nhooks = []\n\n[providers.\"managed:kimi\"]\n"
    "api_key = \"sk-secret\"   # set with /login\n\n[notes]\nx = \"\"\"\n[[hooks]] is text\n\"\"\"\n";
const std::vector<std::pair<std::string, std::string>> kFiles = {
    {".claude/settings.json", kClaude},
    {".codex/hooks.json", "{\n    \"hooks\": {\"SessionStart\": [{\"hooks\": [{\"command\": \"s.py\"}]}]}\n}"},
    {".cursor/hooks.json", "{\n\t\"version\": 1,\n\t\"hooks\": {\"afterFileEdit\": [{\"command\": \"./f.sh\"}]}\n}\n"},
    {".kimi/config.toml", kKimi}};
const std::string kUnit = ".config/systemd/user/vemloconfig-agent.service";

size_t oursIn(const std::string& text) { return occurrences(text, "vemloconfig-agent hook "); }

std::map<std::string, std::string> snapshot(const std::string& root) {
    std::map<std::string, std::string> out;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        if (entry.is_regular_file()) out[entry.path()] = files::readFile(entry.path()).value_or("");
    return out;
}

struct Ran {
    int code;
    std::string out, err;
};

struct VemloCtl : ::testing::Test {
    TempDir root;  // the package's files, as dpkg would place them; none unless a test places them
    TempDir home;
    TempDir tools;  // a fake systemctl that records its calls
    std::map<std::string, std::optional<std::string>> saved;

    void SetUp() override {
        for (const char* name : {"HOME", "PATH", "XDG_CONFIG_HOME", "VEMLO_SOCKET", "KIMI_SHARE_DIR"})
            saved[name] = std::getenv(name) ? std::optional<std::string>(std::getenv(name)) : std::nullopt;
        ::setenv("HOME", home.path().c_str(), 1);
        ::setenv("PATH", (tools.path() + ":/usr/bin:/bin").c_str(), 1);
        ::unsetenv("XDG_CONFIG_HOME");
        ::unsetenv("KIMI_SHARE_DIR");
        ::setenv("VEMLO_SOCKET", home.file("no-agent.sock").c_str(), 1);
        for (const auto& [file, text] : kFiles) {
            files::createDirectories(fs::path(home.file(file)).parent_path());
            ASSERT_TRUE(files::atomicWrite(home.file(file), text));
        }
        ::chmod(home.file(".kimi/config.toml").c_str(), 0644);  // its backups are private all the same
        fakeSystemctl("exit 0");
    }
    void TearDown() override {
        for (const auto& [name, value] : saved)
            value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
    }
    void fakeSystemctl(const std::string& result) {
        ASSERT_TRUE(files::atomicWrite(tools.file("systemctl"),
                                       "#!/bin/sh\necho \"$*\" >> '" + tools.file("calls") + "'\n" + result + "\n"));
        ::chmod(tools.file("systemctl").c_str(), 0755);
    }
    void place(const std::string& relative) {
        files::createDirectories(fs::path(root.file(relative)).parent_path());
        ASSERT_TRUE(files::atomicWrite(root.file(relative), "#!/bin/sh\n"));
    }
    Ran ctl(const std::vector<std::string>& args) {
        std::ostringstream out, err;
        const int code = ctl::runVemloCtl(args, root.file("usr/bin/vemloctl"), out, err, root.path());
        return {code, out.str(), err.str()};
    }
    Ran install(const std::string& only = "") {
        std::vector<std::string> args = {"install", "--agent", VEMLO_AGENT_BINARY};
        if (!only.empty()) args.insert(args.end(), {"--only", only});
        return ctl(args);
    }
    std::string read(const std::string& relative) const { return files::readFile(home.file(relative)).value_or(""); }
    std::string calls() {  // systemctl's calls since the last look
        std::string text = files::readFile(tools.file("calls")).value_or("");
        ::unlink(tools.file("calls").c_str());
        return text;
    }
};

TEST_F(VemloCtl, InstallRegistersOnceKeepsEverythingAndUninstallRestoresIt) {
    Ran first = install();
    ASSERT_EQ(first.code, 0) << first.out << first.err;
    for (size_t i = 0; i < kFiles.size(); ++i) {
        EXPECT_EQ(oursIn(read(kFiles[i].first)), ctl::assistants()[i].events.size()) << kFiles[i].first;
        EXPECT_EQ(read(kFiles[i].first + ".vemloctl.bak"), kFiles[i].second);
    }
    EXPECT_TRUE(isValidToml(read(".kimi/config.toml")));
    struct stat st {};
    ASSERT_EQ(::stat(home.file(".kimi/config.toml.vemloctl.bak").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "the backup holds the API key";
    ASSERT_EQ(::stat(home.file(".local/bin/vemloconfig-agent").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
    EXPECT_EQ(files::readFile(home.file(".local/bin/vemloconfig-agent")), files::readFile(VEMLO_AGENT_BINARY));
    EXPECT_NE(read(kUnit).find("ExecStart=%h/.local/bin/vemloconfig-agent"), std::string::npos);
    EXPECT_EQ(calls(),
              "--user daemon-reload\n--user enable vemloconfig-agent.service\n"
              "--user restart vemloconfig-agent.service\n");
    EXPECT_NE(first.out.find("enter /hooks and trust"), std::string::npos) << "Codex's trust step is pointed out";
    EXPECT_NE(ctl({"status"}).out.find("Hooks:\n  Claude Code registered (11 events)\n  Codex       registered (6"),
              std::string::npos);

    const auto installed = snapshot(home.path());
    Ran second = install();
    EXPECT_EQ(snapshot(home.path()), installed);
    EXPECT_NE(second.out.find("hooks already registered"), std::string::npos) << second.out;
    calls();

    Ran removed = ctl({"uninstall"});
    ASSERT_EQ(removed.code, 0) << removed.out << removed.err;
    // Every file is back byte for byte, so no backup has anything left to give; what install created
    // (the unit's and the agent's folders, our support folder with the Kimi lock) is gone.
    for (const auto& [file, original] : kFiles) {
        EXPECT_EQ(read(file), original) << file;
        EXPECT_FALSE(files::exists(home.file(file + ".vemloctl.bak"))) << file;
    }
    for (const char* created : {".config", ".local", "Library"}) EXPECT_FALSE(files::exists(home.file(created)));
    EXPECT_EQ(calls(), "--user disable --now vemloconfig-agent.service\n--user daemon-reload\n");
}

TEST_F(VemloCtl, AMalformedFileIsReportedAndLeftWhileTheOthersAreDone) {
    const std::string broken = "{\n  // comments are not JSON\n  \"model\": \"opus\",\n}\n";
    ASSERT_TRUE(files::atomicWrite(home.file(".claude/settings.json"), broken));
    for (bool installing : {true, false}) {
        Ran r = installing ? install() : ctl({"uninstall"});
        EXPECT_EQ(r.code, 1);
        EXPECT_NE(r.err.find(".claude/settings.json: it is not valid JSON; the file was left exactly as it was"),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(read(".claude/settings.json"), broken);
        EXPECT_FALSE(files::exists(home.file(".claude/settings.json.vemloctl.bak")));
        EXPECT_EQ(oursIn(read(".cursor/hooks.json")), installing ? 7u : 0u);
    }
}

TEST_F(VemloCtl, WithoutSystemdTheRestIsStillDone) {
    for (const std::string reason : {"Failed to connect to bus", "systemctl was not found"}) {
        fakeSystemctl("echo '" + reason + ": No medium found' >&2; exit 1");
        if (reason.starts_with("systemctl")) ::setenv("PATH", home.file("nowhere").c_str(), 1);
        Ran r = install("cursor");
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_NE(r.out.find("the systemd user manager cannot be reached (" + reason), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("start the agent yourself with `" + home.path() + "/.local/bin/vemloconfig-agent &`"),
                  std::string::npos);
        EXPECT_EQ(oursIn(read(".cursor/hooks.json")), 7u);
        EXPECT_EQ(read(".claude/settings.json"), kClaude) << "--only leaves the others alone";
    }
}

TEST_F(VemloCtl, OnlyAssistantsThatAreInstalledAndFilesCreatedForUsGoAgain) {
    fs::remove_all(home.file(".claude"));
    fs::remove(home.file(".cursor/hooks.json"));
    fs::remove(home.file(".kimi/config.toml"));
    Ran r = install();
    EXPECT_NE(r.out.find("Claude Code: ~/.claude not found"), std::string::npos) << r.out;
    EXPECT_FALSE(files::exists(home.file(".claude")));
    EXPECT_EQ(json::parse(read(".cursor/hooks.json")).value()["version"], 1);
    EXPECT_TRUE(isValidToml(read(".kimi/config.toml")));
    ASSERT_EQ(ctl({"uninstall"}).code, 0);
    EXPECT_FALSE(files::exists(home.file(".cursor/hooks.json")) || files::exists(home.file(".kimi/config.toml")));
    EXPECT_TRUE(files::exists(home.file(".cursor")));
}

// Our own file is never reached through a link, and a file there that is not ours is kept (and put
// back by uninstall); uninstall removes the file only when every hook in it is ours.
TEST_F(VemloCtl, CopilotsFileIsOursAndNothingElseIsLost) {
    const std::string ours = ".copilot/hooks/vemloconfig-agent.json", precious = tools.file("important.txt");
    const std::string userHook = R"({"version": 1, "hooks": {"sessionStart": [{"type": "command", "bash": "m"}]}})";
    const struct {
        const char* name;
        std::function<void(const std::string& at)> plant;
        std::string installError;    // empty: install succeeds
        std::string uninstallError;  // empty: uninstall succeeds
    } cases[] = {
        {"link to a file", [&](auto& at) { fs::create_symlink(precious, at); }, "it is a symbolic link", "symbolic"},
        {"dangling link", [&](auto& at) { fs::create_symlink(tools.file("ghost"), at); }, "it is a symbolic link", ""},
        {"a file of the user's", [&](auto& at) { files::atomicWrite(at, userHook); }, "", ""},
        {"an older install's", [&](auto& at) { files::atomicWrite(at, R"({"hooks": {"agentStop": [{"bash": "/o/vemloconfig-agent hook CopilotAgentStop"}]}})"); },
         "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(home.file(".copilot"));
        files::createDirectories(home.file(".copilot/hooks"));
        ASSERT_TRUE(files::atomicWrite(precious, "precious\n"));
        c.plant(home.file(ours));
        std::error_code noLink;
        const auto planted = fs::read_symlink(home.file(ours), noLink);
        const std::string before = read(ours);
        Ran in = install("copilot");
        EXPECT_EQ(in.code, c.installError.empty() ? 0 : 1);
        EXPECT_NE(in.err.find(c.installError), std::string::npos) << in.err;
        Ran out = ctl({"uninstall", "--only", "copilot"});
        EXPECT_EQ(out.code, c.uninstallError.empty() ? 0 : 1);
        EXPECT_NE(out.err.find(c.uninstallError), std::string::npos) << out.err;
        EXPECT_EQ(files::readFile(precious), "precious\n");
        EXPECT_FALSE(files::exists(tools.file("ghost")));
        EXPECT_EQ(fs::read_symlink(home.file(ours), noLink), planted);
        // The user's file is back in its place; an older install's is gone.
        EXPECT_EQ(read(ours), std::string(c.name) == "an older install's" ? "" : before);
        EXPECT_FALSE(files::nameTaken(home.file(ours + ".vemloctl.bak")));
    }
    // A file of the user's put there after install is theirs: uninstall leaves it and says why.
    ASSERT_EQ(install("copilot").code, 0);
    ASSERT_TRUE(files::atomicWrite(home.file(ours), userHook));
    Ran out = ctl({"uninstall", "--only", "copilot"});
    EXPECT_NE(out.err.find("it holds hooks or settings that are not vemloctl's"), std::string::npos) << out.err;
    EXPECT_EQ(read(ours), userHook);
}

// Kimi reads $KIMI_SHARE_DIR/config.toml when that is set, and so the hooks go there.
TEST_F(VemloCtl, KimiShareDirHoldsKimisFile) {
    const std::string before = read(".kimi/config.toml");
    files::createDirectories(home.file("share"));
    ASSERT_TRUE(files::atomicWrite(home.file("share/config.toml"), "model = \"k2\"\n"));
    ::setenv("KIMI_SHARE_DIR", home.file("share").c_str(), 1);
    ASSERT_EQ(install("kimi").code, 0);
    EXPECT_NE(read("share/config.toml").find("hook KimiPreToolUse"), std::string::npos);
    EXPECT_EQ(read(".kimi/config.toml"), before);
}

// Copilot CLI loads every hooks/*.json of its folder: ours is a file apart, written and removed whole.
TEST_F(VemloCtl, CopilotGetsAFileOfItsOwn) {
    const std::string mine = R"({"version": 1, "hooks": {"sessionStart": [{"type": "command", "bash": "./m.sh"}]}})";
    files::createDirectories(home.file(".copilot/hooks"));
    ASSERT_TRUE(files::atomicWrite(home.file(".copilot/hooks/mine.json"), mine));
    const std::string ours = ".copilot/hooks/vemloconfig-agent.json";
    EXPECT_NE(install("copilot").out.find("Copilot CLI: ~/" + ours + ": created it with 8 hooks\n"), std::string::npos);
    const Json doc = json::parse(read(ours)).value_or(Json());
    const Json& first = doc["hooks"]["sessionStart"][0];
    EXPECT_EQ(first["bash"], ctl::hookCommand(home.file(".local/bin/vemloconfig-agent"), "CopilotSessionStart"));
    EXPECT_TRUE(doc["version"] == 1 && first["type"] == "command" && first["timeoutSec"] == 10) << doc;
    EXPECT_NE(install("copilot").out.find("hooks already registered (8 events)"), std::string::npos);
    ASSERT_EQ(ctl({"uninstall", "--only", "copilot"}).code, 0);
    EXPECT_FALSE(files::exists(home.file(ours)) || files::exists(home.file(ours + ".vemloctl.bak")));
    EXPECT_EQ(read(".copilot/hooks/mine.json"), mine);
}

// Gemini CLI: hooks merged into settings.json (timeouts in milliseconds) and the policy file beside
// them, written once (0600) and left alone while it is ours; uninstall gives the user's text back.
TEST_F(VemloCtl, GeminiGetsItsHooksAndPolicy) {
    const std::string mine =
        Json::parse(R"({"ui": {"theme": "GitHub"}, "hooks": {"BeforeTool": [{"matcher": "write_file",
                       "hooks": [{"type": "command", "command": "./lint.sh"}]}]}})")
            .dump(2) +
        "\n";
    files::createDirectories(home.file(".gemini"));
    ASSERT_TRUE(files::atomicWrite(home.file(".gemini/settings.json"), mine));
    const std::string policy = ".gemini/policies/vemloconfig.toml";
    const Ran first = install("gemini");
    EXPECT_EQ(first.code, 0) << first.err;
    EXPECT_NE(first.out.find("Gemini CLI: ~/.gemini/settings.json: added 7 hooks"), std::string::npos) << first.out;
    EXPECT_NE(first.out.find("Gemini CLI: ~/" + policy + ": wrote the policy (0600)"), std::string::npos);
    const Json doc = json::parse(read(".gemini/settings.json")).value_or(Json());
    EXPECT_EQ(doc["hooks"]["BeforeTool"].size(), 2u) << doc;
    const Json& ours = doc["hooks"]["BeforeTool"][1]["hooks"][0];
    EXPECT_TRUE(ours["command"] == ctl::hookCommand(home.file(".local/bin/vemloconfig-agent"), "GeminiBeforeTool") &&
                ours["timeout"] == 10000 && doc["ui"]["theme"] == "GitHub")
        << doc;
    const std::string written = read(policy);
    struct stat st {};
    EXPECT_TRUE(GeminiPolicyFile::secretIn(written) && ::stat(home.file(policy).c_str(), &st) == 0 &&
                (st.st_mode & 0777) == 0600);

    const Ran again = install("gemini");
    EXPECT_NE(again.out.find("hooks already registered (7 events)"), std::string::npos) << again.out;
    EXPECT_NE(again.out.find("the policy is in place"), std::string::npos);
    EXPECT_EQ(read(policy), written) << "its secret belongs to the Gemini process that starts next";
    ::unlink(home.file(policy).c_str());
    const std::string status = ctl({"status", "--only", "gemini"}).out;
    EXPECT_NE(status.find("registered (7 events); its policy ~/" + policy + " is missing"), std::string::npos);
    EXPECT_EQ(status.find("Claude Code"), std::string::npos) << status;

    ASSERT_TRUE(files::atomicWrite(home.file(policy), "[[rule]]\ntoolName = \"*\"\ndecision = \"deny\"\n"));
    const Ran foreign = install("gemini");
    EXPECT_EQ(foreign.code, 1);
    EXPECT_NE(foreign.err.find("not ours has the name, so it was left alone"), std::string::npos) << foreign.err;
    EXPECT_NE(ctl({"uninstall", "--only", "gemini"}).out.find("not ours; left alone"), std::string::npos);
    EXPECT_TRUE(files::exists(home.file(policy)));
    ::unlink(home.file(policy).c_str());
    ASSERT_EQ(install("gemini").code, 0);
    ASSERT_EQ(ctl({"uninstall", "--only", "gemini"}).code, 0);
    EXPECT_FALSE(files::nameTaken(home.file(policy)) || files::exists(home.file(".gemini/settings.json.vemloctl.bak")));
    EXPECT_EQ(read(".gemini/settings.json"), mine);
}

// Anything but a regular file of the user's where the backup goes is no backup: nothing is edited.
TEST_F(VemloCtl, ABackupTrapLeavesTheFileAndIsNeverWrittenThrough) {
    const std::string backup = home.file(".claude/settings.json.vemloctl.bak");
    const std::string other = tools.file("notes"), ghost = tools.file("ghost");
    ASSERT_TRUE(files::atomicWrite(other, "mine\n"));
    for (int trap = 0; trap < 3; ++trap) {
        fs::remove_all(backup);
        trap == 0   ? fs::create_symlink(ghost, backup)
        : trap == 1 ? (void)fs::create_directory(backup)
                    : fs::create_symlink(other, backup);
        Ran r = install("claude");
        EXPECT_EQ(r.code, 1) << trap;
        EXPECT_NE(r.err.find("cannot create the backup"), std::string::npos) << r.err;
        EXPECT_EQ(read(".claude/settings.json"), kClaude);
        EXPECT_EQ(files::readFile(other), "mine\n");
        EXPECT_FALSE(fs::exists(fs::symlink_status(ghost)));
    }
}

// A link at an assistant's file is followed only when nobody else can have planted it: it is the
// user's, and neither it nor its target is in a sticky or world-writable folder.
TEST_F(VemloCtl, LinksThatAnotherUserMayHavePlantedAreNotFollowed) {
    const std::string settings = home.file(".claude/settings.json"), real = tools.file("settings.json");
    const struct {
        const char* name;
        std::function<void()> plant;
        std::string error;  // empty: followed
    } cases[] = {
        {"the user's link", [] {}, ""},
        {"another user's link", [&] { ASSERT_EQ(::lchown(settings.c_str(), 4242, 4242), 0); },
         "belongs to another user (uid 4242)"},
        {"in a sticky folder", [&] { ::chmod(home.file(".claude").c_str(), 01777); }, "is in a folder that others can write"},
        {"target in a world-writable folder", [&] { ::chmod(tools.path().c_str(), 0777); },
         "target " + real + " is in a folder that others can write"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(settings);
        ASSERT_TRUE(files::atomicWrite(real, kClaude));
        fs::create_symlink(real, settings);
        c.plant();
        Ran r = install("claude");
        ::chmod(home.file(".claude").c_str(), 0755), ::chmod(tools.path().c_str(), 0700);
        EXPECT_EQ(r.code, c.error.empty() ? 0 : 1);
        EXPECT_NE(r.err.find(c.error), std::string::npos) << r.err;
        EXPECT_TRUE(fs::is_symlink(settings));
        EXPECT_EQ(oursIn(files::readFile(real).value_or("")), c.error.empty() ? 11u : 0u);
        fs::remove(home.file(".claude/settings.json.vemloctl.bak"));
    }
}

TEST_F(VemloCtl, CommandLineMistakesHelpDryRunAndNoAgent) {
    const std::string socket = home.file("no-agent.sock");
    const struct {
        std::vector<std::string> args;
        int code;
        std::string text;  // expected in standard output (exit 0) or in either
    } cases[] = {
        {{}, 2, "Usage: vemloctl <command>"},
        {{"--help"}, 0, "Claude Code, Codex, Cursor, the Kimi CLI and the Copilot CLI"},
        {{"help"}, 0, "\n  help        this text"},
        {{"--version"}, 0, "vemloctl " VEMLO_PROJECT_VERSION "\n"},
        {{"lever", "--help"}, 0, "next real status report"},
        {{"install", "--only", "claude,vim"}, 2, "unknown assistant \"vim\""},
        {{"install", "--only"}, 2, "--only needs a value"},
        {{"uninstall", "--agent", "/x"}, 2, "unknown option --agent"},
        {{"lever", "256"}, 2, "from 0 to 255, or clear"},
        {{"install", "--agent", "/nowhere/vemloconfig-agent"}, 1, "give its path with --agent"},
        {{"install", "--dry-run", "--agent", VEMLO_AGENT_BINARY},
         0,
         "Kimi CLI: ~/.kimi/config.toml: would add 7 hooks"},
        {{"status"}, 1, "Agent:      not running: cannot reach " + socket},
        {{"lever", "0"}, 1, "cannot reach the agent at " + socket},
    };
    const auto before = snapshot(home.path());
    for (const auto& c : cases) {
        Ran r = ctl(c.args);
        EXPECT_EQ(r.code, c.code) << c.text;
        EXPECT_NE((r.code == 0 ? r.out : r.out + r.err).find(c.text), std::string::npos) << r.out << r.err;
    }
    EXPECT_EQ(snapshot(home.path()), before);
    EXPECT_EQ(calls(), "");
}

TEST_F(VemloCtl, WithThePackageOnlyItsUnitIsEnabledAndAnEarlierCopyGivesWay) {
    place("usr/bin/vemloconfig-agent");
    place("usr/lib/systemd/user/vemloconfig-agent.service");
    const std::string agent = root.file("usr/bin/vemloconfig-agent");
    ASSERT_EQ(install("claude").code, 0);  // an install from before the package
    calls();
    Ran in = ctl({"install", "--only", "claude"});
    ASSERT_EQ(in.code, 0) << in.out << in.err;
    EXPECT_NE(in.out.find("using the packaged " + agent + "; nothing is copied"), std::string::npos) << in.out;
    EXPECT_FALSE(files::exists(home.file(kUnit)) || files::exists(home.file(".local/bin/vemloconfig-agent")));
    EXPECT_EQ(read(".claude/settings.json").find(home.file(".local/bin")), std::string::npos) << "hooks moved over";
    EXPECT_NE(read(".claude/settings.json").find("\"" + agent + " hook Stop\""), std::string::npos);
    EXPECT_EQ(calls(),
              "--user disable --now vemloconfig-agent.service\n--user daemon-reload\n"
              "--user daemon-reload\n--user enable --now vemloconfig-agent.service\n");
    ASSERT_EQ(ctl({"uninstall"}).code, 0);
    EXPECT_EQ(calls(), "--user disable --now vemloconfig-agent.service\n");
    EXPECT_EQ(read(".claude/settings.json").find("vemloconfig-agent"), std::string::npos);
    EXPECT_TRUE(files::exists(agent) && files::exists(root.file("usr/lib/systemd/user/vemloconfig-agent.service")))
        << "the package's files are dpkg's";

    // A unit the user changed (here to the mitigation of --socket) and a copy it did not start stay.
    ASSERT_EQ(install("claude").code, 0);
    const std::string changed = read(kUnit) + "# --socket %h/.vemlo.sock\n";
    ASSERT_TRUE(files::atomicWrite(home.file(kUnit), changed));
    Ran kept = ctl({"install", "--only", "claude"});
    EXPECT_EQ(kept.code, 0) << kept.err;
    EXPECT_NE(kept.out.find("is not the unit install wrote, so it stays"), std::string::npos) << kept.out;
    EXPECT_NE(kept.out.find("kept ~/.local/bin/vemloconfig-agent: no unit that install wrote starts it"),
              std::string::npos);
    EXPECT_EQ(read(kUnit), changed);
    EXPECT_TRUE(files::exists(home.file(".local/bin/vemloconfig-agent")));
}

TEST_F(VemloCtl, TheSoftwareLeverAndARunningAgent) {
    AgentProcess agent(tools.path(), home.path(), {{"VEMLO_BLUETOOTH", "off"}});
    ::setenv("VEMLO_SOCKET", agent.socketPath().c_str(), 1);
    Ran set = ctl({"lever", "2"});
    EXPECT_NE(set.out.find("Software lever set to 2 (manual: tool requests go back to you)."), std::string::npos);
    Ran shown = ctl({"status"});
    EXPECT_EQ(shown.code, 1) << "no keyboard: not all is well";
    EXPECT_NE(shown.out.find("Lever:      2 (manual"), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("State file: " + home.file("Library/Application Support/VemloConfig/"
                                                        "current-ide-state.json\n")),
              std::string::npos)
        << "which file the keyboard line comes from";
    EXPECT_EQ(set.out.find("simulated"), std::string::npos) << "not on a simulated keyboard";
    EXPECT_NE(ctl({"lever", "clear"}).out.find("Software lever cleared; the lever is now unknown"), std::string::npos);
    EXPECT_NE(ctl({"status"}).out.find("Lever:      unknown"), std::string::npos);

    // On the simulated keyboard the software lever lasts until its next report: lever says how to
    // move the simulated one.
    TempDir simFolder;
    AgentProcess sim(simFolder.path(), home.path(), {{"VEMLO_SIM_LEVER_FILE", simFolder.file("lever")}});
    ::setenv("VEMLO_SOCKET", sim.socketPath().c_str(), 1);
    EXPECT_NE(ctl({"lever", "0"})
                  .out.find("simulated keyboard, which reports its own lever within 1.5 s; to move that "
                            "lever, write the position to its file: echo 0 > '" +
                            simFolder.file("lever") + "'\n"),
              std::string::npos);
}

// A socket that another user holds is named as theirs, not taken for a missing agent.
TEST_F(VemloCtl, StatusNamesTheOwnerOfAForeignSocket) {
    if (!canActAsAnotherUser()) GTEST_SKIP() << kNeedsRoot;
    const std::string path = tools.file("foreign.sock");
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{AF_UNIX, {}};
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::close(fd);
    ASSERT_EQ(::lchown(path.c_str(), 65534, 65534), 0);
    ::setenv("VEMLO_SOCKET", path.c_str(), 1);
    const Ran r = ctl({"status"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(
        r.out.find("Agent:      not usable: the control socket " + path + " belongs to another user (user id 65534)"),
        std::string::npos)
        << r.out;
}

// The live state file's times decide whether the keyboard counts as linked.
TEST(StatusReport, KeyboardLinkAndLedInWords) {
    const struct {
        std::string live;  // empty: no file
        bool allWell;
        std::vector<std::string> lines;
    } cases[] = {
        {R"({"lightModeTs":1799999998.5,"stateValue":3,"stateTs":1799999990})",
         true,
         {"Keyboard:   linked (last status report 1.5 s ago)", "Last LED:   3 (running a tool), set 10 s ago"}},
        {R"({"lightModeTs":1799999700,"stateValue":5,"stateTs":1799990000})",
         false,
         {"Keyboard:   not linked (last status report 5 min ago)", "Last LED:   5 (turn finished), set 2 h ago"}},
        {"", false, {"Keyboard:   not linked (no status report from the keyboard yet)", "Last LED:   none sent yet"}},
        {R"({"lightModeTs":1800000000,"stateValue":42})", true, {"Last LED:   42\n"}},
    };
    for (const auto& c : cases) {
        ctl::StatusCommand::Facts f;
        f.reply = Json{{"switchState", 1}, {"lightMode", 2}};
        if (!c.live.empty()) f.liveState = json::parseObject(c.live);
        f.now = 1'800'000'000.0;
        const ctl::StatusCommand::Report r = ctl::StatusCommand::describe(f);
        std::string all;
        for (const std::string& line : r.lines) all += line + "\n";
        EXPECT_EQ(r.allWell, c.allWell) << all;
        for (const std::string& line : c.lines) EXPECT_NE(all.find(line), std::string::npos) << all;
    }
}

}  // namespace
}  // namespace vemlo::test
