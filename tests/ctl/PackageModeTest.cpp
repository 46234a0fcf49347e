// vemloctl beside the Debian package, in process, with the package's files under a temporary root.
#include "ctl/VemloCtl.h"
#include "platform/Files.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

namespace vemlo::test {
namespace {

const std::string kSettings = "{\n  \"model\": \"opus\"\n}\n";
const std::string kUserUnit = ".config/systemd/user/vemloconfig-agent.service";

struct PackageModeTest : ::testing::Test {
    TempDir root;  // the package's files, as dpkg would place them
    TempDir home;
    TempDir tools;  // a fake systemctl that records its calls

    void SetUp() override {
        ASSERT_TRUE(files::createDirectories(home.file(".claude")));
        ASSERT_TRUE(files::atomicWrite(home.file(".claude/settings.json"), kSettings));
        ASSERT_TRUE(files::createDirectories(tools.path()));
        ASSERT_TRUE(
            files::atomicWrite(tools.file("systemctl"), "#!/bin/sh\necho \"$*\" >> '" + tools.file("calls") + "'\n"));
        ::chmod(tools.file("systemctl").c_str(), 0755);
        ASSERT_TRUE(files::atomicWrite(tools.file("vemloconfig-agent"), "#!/bin/sh\n"));
        ::setenv("HOME", home.path().c_str(), 1);
        ::setenv("PATH", (tools.path() + ":/usr/bin:/bin").c_str(), 1);
        ::unsetenv("XDG_CONFIG_HOME");
        ::setenv("VEMLO_SOCKET", home.file("no-agent.sock").c_str(), 1);
    }

    void package(bool agent, bool unit) {
        if (agent) place("usr/bin/vemloconfig-agent", "#!/bin/sh\n");
        if (unit)
            place("usr/lib/systemd/user/vemloconfig-agent.service",
                  "[Service]\nExecStart=/usr/bin/vemloconfig-agent\n");
    }
    void place(const std::string& relative, const std::string& text) {
        const std::string path = root.file(relative);
        ASSERT_TRUE(files::createDirectories(path.substr(0, path.rfind('/'))));
        ASSERT_TRUE(files::atomicWrite(path, text));
        ::chmod(path.c_str(), 0755);
    }

    struct Run {
        int exitCode;
        std::string out;
        std::string err;
    };
    // vemloctl as installed by the package: /usr/bin/vemloctl beside the packaged agent.
    Run vemloctl(const std::vector<std::string>& args) {
        std::ostringstream out, err;
        const int code = ctl::runVemloCtl(args, root.file("usr/bin/vemloctl"), out, err, root.path());
        return {code, out.str(), err.str()};
    }
    std::string read(const std::string& relative) { return files::readFile(home.file(relative)).value_or(""); }
    std::string calls() {
        std::string text = files::readFile(tools.file("calls")).value_or("");
        ::unlink(tools.file("calls").c_str());
        return text;
    }
};

TEST_F(PackageModeTest, StatusNamesTheInstallationItFinds) {
    struct Case {
        const char* name;
        bool agent, unit, userCopy;
        std::string line;
    };
    const Case cases[] = {
        {"Nothing", false, false, false, "Installed:  none (run `vemloctl install`)"},
        {"AgentWithoutUnitIsNoPackage", true, false, false, "Installed:  none"},
        {"UserCopy", false, false, true, "Installed:  user copy (" + home.file(".local/bin/vemloconfig-agent") + ")"},
        {"Package", true, true, false, "Installed:  package (" + root.file("usr/bin/vemloconfig-agent") + ")\n"},
        {"PackageHiddenByAUserUnit", true, true, true, "a user unit of an earlier `vemloctl install` hides"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        package(c.agent, c.unit);
        if (c.userCopy) {
            ASSERT_EQ(vemloctl({"install", "--agent", tools.file("vemloconfig-agent")}).exitCode, 0);
        }
        Run r = vemloctl({"status"});
        EXPECT_EQ(r.exitCode, 1) << "no agent runs";
        EXPECT_NE(r.out.find(c.line), std::string::npos) << r.out;
        for (const std::string& made : {root.file("usr"), home.file(".local"), home.file(".config")})
            std::filesystem::remove_all(made);
    }
}

TEST_F(PackageModeTest, InstallEnablesThePackagedUnitAndUninstallTakesOutOnlyThat) {
    package(true, true);
    const std::string agent = root.file("usr/bin/vemloconfig-agent");
    Run in = vemloctl({"install"});
    ASSERT_EQ(in.exitCode, 0) << in.out << in.err;
    EXPECT_NE(in.out.find("using the packaged " + agent + "; nothing is copied"), std::string::npos) << in.out;
    EXPECT_FALSE(files::exists(home.file(".local"))) << "nothing copied";
    EXPECT_FALSE(files::exists(home.file(kUserUnit))) << "no user unit written";
    EXPECT_EQ(calls(), "--user daemon-reload\n--user enable --now vemloconfig-agent.service\n");
    EXPECT_NE(read(".claude/settings.json").find("\"" + agent + " hook PermissionRequest\""), std::string::npos);

    Run again = vemloctl({"install"});
    EXPECT_EQ(again.exitCode, 0);
    EXPECT_NE(again.out.find("hooks already registered"), std::string::npos) << again.out;
    calls();

    Run out = vemloctl({"uninstall"});
    ASSERT_EQ(out.exitCode, 0) << out.err;
    EXPECT_EQ(calls(), "--user disable --now vemloconfig-agent.service\n");
    EXPECT_EQ(read(".claude/settings.json").find("vemloconfig-agent"), std::string::npos);
    EXPECT_TRUE(files::exists(agent) && files::exists(root.file("usr/lib/systemd/user/vemloconfig-agent.service")))
        << "the package's files are dpkg's";
}

TEST_F(PackageModeTest, AnEarlierUserCopyGivesWayToThePackage) {
    package(true, true);
    // An install from before the package: an agent copy and a user unit, which would hide the package's.
    Run copy = vemloctl({"install", "--agent", tools.file("vemloconfig-agent")});
    ASSERT_EQ(copy.exitCode, 0) << copy.err;
    ASSERT_TRUE(files::exists(home.file(kUserUnit)));
    ASSERT_NE(read(".claude/settings.json").find(home.file(".local/bin/vemloconfig-agent hook")), std::string::npos);
    calls();

    Run in = vemloctl({"install"});
    ASSERT_EQ(in.exitCode, 0) << in.err;
    EXPECT_FALSE(files::exists(home.file(kUserUnit)));
    EXPECT_FALSE(files::exists(home.file(".local/bin/vemloconfig-agent")));
    EXPECT_EQ(read(".claude/settings.json").find(home.file(".local/bin")), std::string::npos) << "hooks moved over";
    EXPECT_NE(read(".claude/settings.json").find(root.file("usr/bin/vemloconfig-agent hook Stop")), std::string::npos);
    EXPECT_EQ(calls(),
              "--user disable --now vemloconfig-agent.service\n--user daemon-reload\n"
              "--user daemon-reload\n--user enable --now vemloconfig-agent.service\n");
}

}  // namespace
}  // namespace vemlo::test
