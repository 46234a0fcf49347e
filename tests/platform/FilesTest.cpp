#include "platform/Files.h"
#include "platform/Paths.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>
#include <algorithm>
#include <filesystem>
#include <functional>

namespace vemlo {
namespace {

namespace fs = std::filesystem;
using test::canActAsAnotherUser;
using test::kNeedsRoot;
using test::TempDir;

constexpr uid_t kOtherUser = 4242;  // tests run as root, which may hand a file to anyone

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

// What stands at the name of one of our files before we touch it: only a regular file of our own
// is appended to, read, opened or replaced in place; links are never followed, `other` (a file of
// the user's elsewhere) never changes and `ghost` (where a dangling link points) never appears.
TEST(Files, OurFilesAreNeverReachedThroughAnythingButARegularFileOfOurOwn) {
    const struct {
        const char* name;
        std::function<void(const std::string& at, const std::string& other, const std::string& ghost)> plant;
        bool append;
        const char* read;  // what readOwnFile sees after the append; null: nothing
        bool open, replace;
    } traps[] = {
        {"nothing", [](auto&, auto&, auto&) {}, true, "line\n", true, true},
        {"own file", [](auto& at, auto&, auto&) { files::atomicWrite(at, "old\n"), ::chmod(at.c_str(), 0644); }, true,
         "old\nline\n", true, true},
        {"link to a file", [](auto& at, auto& other, auto&) { fs::create_symlink(other, at); }, false, nullptr, false,
         true},
        {"dangling link", [](auto& at, auto&, auto& ghost) { fs::create_symlink(ghost, at); }, false, nullptr, false,
         true},
        {"fifo", [](auto& at, auto&, auto&) { ::mkfifo(at.c_str(), 0644); }, false, nullptr, false, true},
        {"directory", [](auto& at, auto&, auto&) { fs::create_directory(at); }, false, nullptr, false, false},
        {"other user's file",
         [](auto& at, auto&, auto&) { files::atomicWrite(at, "theirs\n"), (void)::chown(at.c_str(), kOtherUser, 0); },
         false, nullptr, false, true},
    };
    for (const auto& t : traps) {
        SCOPED_TRACE(t.name);
        if (std::string_view(t.name) == "other user's file" && !canActAsAnotherUser()) continue;
        TempDir dir, elsewhere;
        const std::string at = dir.file("ours.log"), other = elsewhere.file("bashrc"), ghost = elsewhere.file("ghost");
        files::atomicWrite(other, "precious\n");
        t.plant(at, other, ghost);
        // A reader keeps a FIFO open: writing into it would then succeed, unless the type is checked.
        const int fifoReader = ::open(at.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW);
        std::string err;
        EXPECT_EQ(files::appendToFile(at, "line\n", &err), t.append) << err;
        EXPECT_EQ(modeOf(at) == 0600u, t.append) << "created or tightened";
        EXPECT_EQ(files::readOwnFile(at).value_or("-"), t.read ? t.read : "-");
        EXPECT_EQ(files::createExclusive(at, "new\n", 0600), files::Created::alreadyThere);
        const int fd = files::openOwnFile(at, &err);
        EXPECT_EQ(fd >= 0, t.open) << err;
        EXPECT_EQ(files::atomicWrite(at, "state\n", {.ownFile = true}), t.replace);
        EXPECT_TRUE(!t.replace || (files::readOwnFile(at) == "state\n" && modeOf(at) == 0600u));
        for (int f : {fd, fifoReader})
            if (f >= 0) ::close(f);
        EXPECT_EQ(files::readFile(other), "precious\n") << "a link's target was written";
        EXPECT_FALSE(fs::exists(fs::symlink_status(ghost))) << "a dangling link's target was created";
        EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"ours.log"}) << "left behind";
    }
    TempDir dir;  // with no reader, a FIFO is neither waited for nor read
    ASSERT_EQ(::mkfifo(dir.file("log").c_str(), 0600), 0);
    EXPECT_FALSE(files::appendToFile(dir.file("log"), "x\n") || files::readFile(dir.file("log")) ||
                 files::readOwnFile(dir.file("log")));
    if (!canActAsAnotherUser()) GTEST_SKIP() << "the row of another user's file " << kNeedsRoot;
}

// Folders we create, or find, for our files are private; a folder of another user, or a file an
// assistant owns, keeps its mode. (Our own files' modes are checked with the traps above.)
TEST(Files, WhatWeCreateIsPrivateAndWhatIsNotOursKeepsItsMode) {
    const std::string support = "Library/Application Support/VemloConfig", diag = support + "/diagnostics";
    const struct {
        std::function<void(const TempDir&)> act;
        std::string file;
        mode_t expected;
    } cases[] = {{[](auto& d) { paths::createDiagnosticsFolder(d.path()); }, diag, 0700},
                 {[&](auto& d) {
                      fs::create_directories(d.file(diag)), ::chmod(d.file(support).c_str(), 0755);
                      paths::createDiagnosticsFolder(d.path());
                  },
                  support, 0700},
                 {[](auto& d) {
                      fs::create_directories(d.file("shared")), ::chmod(d.file("shared").c_str(), 0755);
                      (void)::chown(d.file("shared").c_str(), kOtherUser, 0);
                      EXPECT_TRUE(files::createPrivateDirectories(d.file("shared")));
                  },
                  "shared", 0755},
                 {[](auto& d) { files::atomicWrite(d.file("f"), "x"); }, "f", 0644},
                 {[](auto& d) {
                      files::atomicWrite(d.file("f"), "x"), ::chmod(d.file("f").c_str(), 0640);
                      files::atomicWrite(d.file("f"), "y");
                  },
                  "f", 0640},
                 {[](auto& d) { files::createExclusive(d.file("f"), "x", 0600); }, "f", 0600}};
    for (size_t i = 0; i < std::size(cases); ++i) {
        if (cases[i].file == "shared" && !canActAsAnotherUser()) continue;
        TempDir dir;
        const mode_t mask = ::umask(022);
        cases[i].act(dir);
        ::umask(mask);
        EXPECT_EQ(modeOf(dir.file(cases[i].file)), cases[i].expected) << "case " << i;
    }
    if (!canActAsAnotherUser()) GTEST_SKIP() << "the row of another user's folder " << kNeedsRoot;
}

// A writer killed between creating its temporary file and renaming it leaves the file behind; the
// next write of that target removes it, but never a file whose writer still holds its lock (even
// one whose pid looks dead, as from another PID namespace) nor any name our writer does not make.
TEST(Files, StaleTemporaryFilesOfDeadWritersGoAtTheNextWrite) {
    if (!canActAsAnotherUser()) GTEST_SKIP() << kNeedsRoot;
    TempDir dir;
    const pid_t dead = ::fork();
    if (dead == 0) ::_exit(0);
    ASSERT_EQ(::waitpid(dead, nullptr, 0), dead);
    const std::string pid = std::to_string(dead), random = ".abcdefXYZ019";
    const std::string deadTemp = "config.vemlo-tmp." + pid + random, lockedTemp = "config.vemlo-tmp.1" + random,
                      otherTarget = "other.vemlo-tmp." + pid + random, linkTemp = "config.vemlo-tmp.2" + random,
                      notOurs = "config.vemlo-tmp.3" + random;
    const std::vector<std::string> kept = {
        "config.tmp." + pid + ".abcdef",  // an older writer's shape, or the user's
        "config.tmp.99999.backup", "config.tmp.0099999.abcdef", "config.vemlo-tmp.0" + pid + random,
        "config.vemlo-tmp." + pid + ".abcdefXYZ01", "config.vemlo-tmp." + pid + ".abcdefXYZ01-",
        "config.vemlo-tmp." + pid + random + ".bak", "config.vemlo-tmp.-1" + random, otherTarget, notOurs};
    for (const std::string& name : kept) files::atomicWrite(dir.file(name), "half");
    files::atomicWrite(dir.file(deadTemp), "half");
    files::atomicWrite(dir.file(lockedTemp), "half");
    ASSERT_EQ(::chown(dir.file(notOurs).c_str(), kOtherUser, kOtherUser), 0);
    fs::create_symlink(dir.file("config"), dir.file(linkTemp));
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t writer = ::fork();  // a live writer in its own process holds its file's lock
    if (writer == 0) {
        const int fd = ::open(dir.file(lockedTemp).c_str(), O_RDONLY);
        ::flock(fd, LOCK_EX);
        (void)!::write(ready[1], "x", 1);
        ::pause();
        ::_exit(0);
    }
    char byte;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    ASSERT_TRUE(files::atomicWrite(dir.file("config"), "whole"));
    ::kill(writer, SIGKILL);
    ::waitpid(writer, nullptr, 0);
    std::vector<std::string> expected = kept;
    expected.insert(expected.end(), {"config", lockedTemp, linkTemp});
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(namesIn(dir.path()), expected);
    ASSERT_TRUE(files::atomicWrite(dir.file("config"), "again"));  // its writer is gone now
    expected.erase(std::find(expected.begin(), expected.end(), lockedTemp));
    EXPECT_EQ(namesIn(dir.path()), expected);
}

// Where our files go when HOME is not set: the home of the password-file line of the uid.
TEST(Files, HomeFromThePasswordFile) {
    const std::string passwd =
        "root:x:0:0:root:/root:/bin/bash\na:x:10:10::/a:/bin/sh\n\n+::::::\nc:x:1000\n"
        "d:x:1000x:1:::\nrel:x:7:7::home/rel:/bin/sh\nnone:x:8:8:::/bin/sh\nb:x:100:100::/b";
    for (const auto& [uid, home] :
         {std::pair<uid_t, std::string>{0, "/root"}, {100, "/b"}, {1000, ""}, {7, ""}, {8, ""}})
        EXPECT_EQ(files::homeFromPasswd(passwd, uid), home) << uid;
}

}  // namespace
}  // namespace vemlo
