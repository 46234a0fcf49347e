#include "platform/Files.h"
#include "platform/Paths.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace vemlo {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

constexpr uid_t kOtherUser = 4242;  // tests run as root, which may hand a file to anyone
const std::string kPrecious = "precious\n";

mode_t modeOf(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

std::vector<std::string> namesIn(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

// What stands at the name of one of our files before we touch it. `other` is a file of the user's
// elsewhere that must never change; `ghost` is where a dangling link points and must never appear.
struct Trap {
    const char* name;
    std::function<void(const std::string& at, const std::string& other, const std::string& ghost)> plant;
    // The outcomes: append, readOwnFile, createExclusive, openOwnFile, atomicWrite as a file of ours.
    bool append;
    const char* read;  // what readOwnFile sees after the append; null: nothing
    files::Created create;
    bool open;
    bool replace;
};

void PrintTo(const Trap& t, std::ostream* os) { *os << t.name; }

const std::vector<Trap> kTraps = {
    {"nothing", [](auto&, auto&, auto&) {}, true, "line\n", files::Created::alreadyThere, true, true},
    {"own_file",
     [](const std::string& at, auto&, auto&) {
         ASSERT_TRUE(files::atomicWrite(at, "old\n"));
         ::chmod(at.c_str(), 0644);
     },
     true, "old\nline\n", files::Created::alreadyThere, true, true},
    {"link_to_a_file", [](const std::string& at, const std::string& other, auto&) { fs::create_symlink(other, at); },
     false, nullptr, files::Created::alreadyThere, false, true},
    {"dangling_link", [](const std::string& at, auto&, const std::string& ghost) { fs::create_symlink(ghost, at); },
     false, nullptr, files::Created::alreadyThere, false, true},
    {"fifo", [](const std::string& at, auto&, auto&) { ASSERT_EQ(::mkfifo(at.c_str(), 0644), 0); }, false, nullptr,
     files::Created::alreadyThere, false, true},
    {"directory", [](const std::string& at, auto&, auto&) { fs::create_directory(at); }, false, nullptr,
     files::Created::alreadyThere, false, false},
    {"other_users_file",
     [](const std::string& at, auto&, auto&) {
         ASSERT_TRUE(files::atomicWrite(at, "theirs\n"));
         ASSERT_EQ(::chown(at.c_str(), kOtherUser, kOtherUser), 0);
     },
     false, nullptr, files::Created::alreadyThere, false, true},
};

class OwnFileTraps : public testing::TestWithParam<Trap> {
protected:
    TempDir dir;
    TempDir elsewhere;
    std::string at = dir.file("ours.log");
    std::string other = elsewhere.file("bashrc");
    std::string ghost = elsewhere.file("ghost");
    int fifoReader = -1;

    void SetUp() override {
        ASSERT_TRUE(files::atomicWrite(other, kPrecious));
        GetParam().plant(at, other, ghost);
        // A reader keeps a FIFO open: writing into it would then succeed, unless the type is checked.
        if (GetParam().name == std::string("fifo")) fifoReader = ::open(at.c_str(), O_RDONLY | O_NONBLOCK);
    }
    void TearDown() override {
        if (fifoReader >= 0) ::close(fifoReader);
        EXPECT_EQ(files::readFile(other), kPrecious) << "a link's target was written";
        EXPECT_FALSE(fs::exists(fs::symlink_status(ghost))) << "a dangling link's target was created";
        for (const std::string& name : namesIn(dir.path())) EXPECT_EQ(name, "ours.log") << "left behind";
    }
};

TEST_P(OwnFileTraps, OurFilesAreNeverReachedThroughAnythingButARegularFileOfOurOwn) {
    const Trap& t = GetParam();
    std::string err;
    EXPECT_EQ(files::appendToFile(at, "line\n", &err), t.append) << err;
    EXPECT_EQ(modeOf(at) == 0600u, t.append) << "created or tightened";
    EXPECT_EQ(err.empty(), t.append);

    const auto bytes = files::readOwnFile(at);
    EXPECT_EQ(bytes.has_value(), t.read != nullptr);
    EXPECT_EQ(bytes.value_or(""), t.read ? t.read : "");

    EXPECT_EQ(files::createExclusive(at, "new\n", 0600), t.create);

    err.clear();
    const int fd = files::openOwnFile(at, &err);
    EXPECT_EQ(fd >= 0, t.open) << err;
    if (fd >= 0) ::close(fd);

    files::WriteOptions own;
    own.ownFile = true;
    EXPECT_EQ(files::atomicWrite(at, "state\n", own), t.replace);
    if (t.replace) {
        EXPECT_EQ(files::readOwnFile(at), "state\n");
        EXPECT_EQ(modeOf(at), 0600u);
    }
}

INSTANTIATE_TEST_SUITE_P(Files, OwnFileTraps, testing::ValuesIn(kTraps),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Files, AppendAndReadNeverWaitForAFifoWithoutPeer) {
    TempDir dir;
    ASSERT_EQ(::mkfifo(dir.file("log").c_str(), 0600), 0);
    EXPECT_FALSE(files::appendToFile(dir.file("log"), "x\n"));
    EXPECT_FALSE(files::readFile(dir.file("log")));
    EXPECT_FALSE(files::readOwnFile(dir.file("log")));
}

// The file layer never turns a relative name into one in the working directory.
TEST(Files, RelativePathsAreRefusedEverywhere) {
    TempDir work;
    const fs::path previous = fs::current_path();
    fs::current_path(work.path());
    const std::string name = "Library/x";
    std::string err;
    EXPECT_FALSE(files::createDirectories("Library", &err));
    EXPECT_NE(err.find("not an absolute path"), std::string::npos) << err;
    EXPECT_FALSE(files::createPrivateDirectories("Library"));
    EXPECT_FALSE(files::atomicWrite("x", "1"));
    EXPECT_FALSE(files::appendToFile("x", "1"));
    EXPECT_EQ(files::createExclusive("x", "1", 0600), files::Created::failed);
    EXPECT_EQ(files::openOwnFile("x"), -1);
    ASSERT_TRUE(files::atomicWrite(work.file("y"), "1"));
    EXPECT_FALSE(files::exists("y"));
    EXPECT_FALSE(files::nameTaken("y"));
    EXPECT_FALSE(files::readFile("y"));
    EXPECT_FALSE(paths::createDiagnosticsFolder(""));
    fs::current_path(previous);
    EXPECT_EQ(namesIn(work.path()), std::vector<std::string>{"y"});
}

struct ModeCase {
    const char* name;
    std::function<void(const TempDir&)> act;
    const char* file;
    mode_t expected;
};

void PrintTo(const ModeCase& c, std::ostream* os) { *os << c.name; }

class Modes : public testing::TestWithParam<ModeCase> {};

TEST_P(Modes, WhatWeCreateIsPrivate) {
    const ModeCase& c = GetParam();
    TempDir dir;
    const mode_t mask = ::umask(022);
    c.act(dir);
    ::umask(mask);
    EXPECT_EQ(modeOf(dir.file(c.file)), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Files, Modes,
    testing::Values(
        ModeCase{"support_folder_created", [](const TempDir& d) { paths::createDiagnosticsFolder(d.path()); },
                 "Library/Application Support/VemloConfig", 0700},
        ModeCase{"diagnostics_folder_created", [](const TempDir& d) { paths::createDiagnosticsFolder(d.path()); },
                 "Library/Application Support/VemloConfig/diagnostics", 0700},
        ModeCase{"existing_support_folder_tightened",
                 [](const TempDir& d) {
                     fs::create_directories(paths::diagnosticsFolder(d.path()));
                     ::chmod(paths::supportFolder(d.path()).c_str(), 0755);
                     ::chmod(paths::diagnosticsFolder(d.path()).c_str(), 0775);
                     paths::createDiagnosticsFolder(d.path());
                 },
                 "Library/Application Support/VemloConfig", 0700},
        ModeCase{"existing_diagnostics_folder_tightened",
                 [](const TempDir& d) {
                     fs::create_directories(paths::diagnosticsFolder(d.path()));
                     ::chmod(paths::diagnosticsFolder(d.path()).c_str(), 0775);
                     paths::createDiagnosticsFolder(d.path());
                 },
                 "Library/Application Support/VemloConfig/diagnostics", 0700},
        ModeCase{"another_users_folder_left_alone",
                 [](const TempDir& d) {
                     fs::create_directories(d.file("shared"));
                     ::chmod(d.file("shared").c_str(), 0755);
                     ASSERT_EQ(::chown(d.file("shared").c_str(), kOtherUser, kOtherUser), 0);
                     EXPECT_TRUE(files::createPrivateDirectories(d.file("shared")));
                 },
                 "shared", 0755},
        ModeCase{"log_created", [](const TempDir& d) { files::appendToFile(d.file("log"), "x\n"); }, "log", 0600},
        ModeCase{"existing_log_tightened",
                 [](const TempDir& d) {
                     files::atomicWrite(d.file("log"), "x\n");
                     ::chmod(d.file("log").c_str(), 0644);
                     files::appendToFile(d.file("log"), "y\n");
                 },
                 "log", 0600},
        ModeCase{"own_file_replaced_private",
                 [](const TempDir& d) {
                     files::atomicWrite(d.file("state"), "{}");
                     ::chmod(d.file("state").c_str(), 0644);
                     files::WriteOptions own;
                     own.ownFile = true;
                     files::atomicWrite(d.file("state"), "{}", own);
                 },
                 "state", 0600},
        ModeCase{"assistant_file_new", [](const TempDir& d) { files::atomicWrite(d.file("config"), "x"); }, "config",
                 0644},
        ModeCase{"assistant_file_keeps_its_bits",
                 [](const TempDir& d) {
                     files::atomicWrite(d.file("config"), "x");
                     ::chmod(d.file("config").c_str(), 0640);
                     files::atomicWrite(d.file("config"), "y");
                 },
                 "config", 0640},
        ModeCase{"assistant_file_new_private",
                 [](const TempDir& d) {
                     files::WriteOptions o;
                     o.newFileMode = 0600;
                     files::atomicWrite(d.file("config"), "x", o);
                 },
                 "config", 0600},
        ModeCase{"exclusive_copy", [](const TempDir& d) { files::createExclusive(d.file("bak"), "x", 0600); }, "bak",
                 0600}),
    [](const auto& info) { return std::string(info.param.name); });

// A writer killed between creating its temporary file and renaming it leaves the file behind; the
// next write of that target removes it, but never a live writer's file or anything not ours.
TEST(Files, StaleTemporaryFilesOfDeadWritersGoAtTheNextWrite) {
    TempDir dir;
    const pid_t dead = ::fork();
    if (dead == 0) ::_exit(0);
    ASSERT_GT(dead, 0);
    ASSERT_EQ(::waitpid(dead, nullptr, 0), dead);
    const std::string deadTemp = "config.tmp." + std::to_string(dead) + ".abcdef";
    const std::string liveTemp = "config.tmp." + std::to_string(::getppid()) + ".abcdef";
    const std::string otherTarget = "other.tmp." + std::to_string(dead) + ".abcdef";
    const std::string linkTemp = "config.tmp." + std::to_string(dead) + ".linkxx";
    const std::string notOurs = "config.tmp." + std::to_string(dead) + ".theirs";
    for (const std::string& name : {deadTemp, liveTemp, otherTarget, notOurs})
        ASSERT_TRUE(files::atomicWrite(dir.file(name), "half"));
    ASSERT_EQ(::chown(dir.file(notOurs).c_str(), kOtherUser, kOtherUser), 0);
    fs::create_symlink(dir.file("config"), dir.file(linkTemp));

    ASSERT_TRUE(files::atomicWrite(dir.file("config"), "whole"));
    std::vector<std::string> expected = {"config", liveTemp, linkTemp, notOurs, otherTarget};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(namesIn(dir.path()), expected);

    ASSERT_TRUE(files::atomicWrite(dir.file(deadTemp), "half"));
    EXPECT_EQ(files::createExclusive(dir.file("config"), "x", 0600), files::Created::alreadyThere);
    EXPECT_FALSE(fs::exists(dir.file(deadTemp))) << "exclusive creation sweeps too";
}

struct PasswdCase {
    const char* name;
    std::string text;
    uid_t uid;
    std::string home;
};

void PrintTo(const PasswdCase& c, std::ostream* os) { *os << c.name; }

class Passwd : public testing::TestWithParam<PasswdCase> {};

TEST_P(Passwd, HomeOfTheLineOfTheUid) {
    EXPECT_EQ(files::homeFromPasswd(GetParam().text, GetParam().uid), GetParam().home);
}

const std::string kPasswd =
    "root:x:0:0:root:/root:/bin/bash\n"
    "daemon:x:1:1:daemon:/usr/sbin:/usr/sbin/nologin\n"
    "ann:x:1000:1000:Ann,,,:/home/ann:/bin/bash\n";

INSTANTIATE_TEST_SUITE_P(
    Files, Passwd,
    testing::Values(
        PasswdCase{"first_line", kPasswd, 0, "/root"}, PasswdCase{"last_line", kPasswd, 1000, "/home/ann"},
        PasswdCase{"uid_missing", kPasswd, 1001, ""},
        PasswdCase{"uid_prefix_is_not_the_uid", "a:x:10:10::/a:/bin/sh\nb:x:100:100::/b:/bin/sh", 100, "/b"},
        PasswdCase{"no_final_line_feed_and_no_shell", "ann:x:1000:1000::/home/ann", 1000, "/home/ann"},
        PasswdCase{"relative_home", "ann:x:1000:1000::home/ann:/bin/sh\n", 1000, ""},
        PasswdCase{"empty_home", "ann:x:1000:1000:::/bin/sh\n", 1000, ""},
        PasswdCase{"short_and_garbled_lines_skipped",
                   "\n+::::::\nann:x:1000\nbob:x:1000x:1:::\nann:x:1000:1000::/home/ann:/bin/sh\n", 1000, "/home/ann"},
        PasswdCase{"empty_file", "", 0, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Files, HomeIsHomeWhenSetElseThePasswordFile) {
    const char* saved = std::getenv("HOME");
    const std::string previous = saved ? saved : "";
    ::setenv("HOME", "/somewhere/else", 1);
    EXPECT_EQ(files::homeDirectory(), "/somewhere/else");
    ::setenv("HOME", "", 1);
    EXPECT_EQ(files::homeDirectory(), files::homeFromPasswd(files::readFile("/etc/passwd").value_or(""), ::getuid()));
    ::unsetenv("HOME");
    EXPECT_EQ(files::homeDirectory(), files::homeFromPasswd(files::readFile("/etc/passwd").value_or(""), ::getuid()));
    if (saved) ::setenv("HOME", previous.c_str(), 1);
}

}  // namespace
}  // namespace vemlo
