#include "leversync/CursorCliLeverSync.h"
#include "leversync/KimiConfigLeverSync.h"
#include "leversync/LeverFollow.h"
#include "leversync/SyncLock.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

namespace vemlo {
namespace {

using namespace std::chrono_literals;

// Whether thread `tid` of this process is asleep (state S): a sync waiting for its lock pauses
// between attempts.
bool asleep(pid_t tid) {
    const auto stat = files::readFile("/proc/self/task/" + std::to_string(tid) + "/stat");
    const size_t close = stat ? stat->rfind(')') : std::string::npos;
    return close != std::string::npos && close + 2 < stat->size() && (*stat)[close + 2] == 'S';
}

struct Followed {
    const char* name;
    std::string_view lock;
    void (*prepare)(const std::string& home);
    void (*sync)(const std::string& home, const LeverFollow::LeverReader& read);
    bool (*followsOne)(const std::string& home);  // the file as lever 1 leaves it
};

const Followed kFollowed[] = {
    {"kimi", paths::kKimiConfigLock,
     [](const std::string& home) {
         files::createDirectories(home + "/.kimi");
         files::atomicWrite(KimiConfigLeverSync::configPath(home), "default_yolo = false\n");
     },
     [](const std::string& home, const LeverFollow::LeverReader& read) { LeverFollow::syncKimi(home, read); },
     [](const std::string& home) {
         return files::readFile(KimiConfigLeverSync::configPath(home)).value_or("").starts_with("default_yolo = false");
     }},
    {"cursor", paths::kCursorPermissionsLock, [](const std::string&) {}, LeverFollow::syncCursor,
     [](const std::string& home) { return !files::nameTaken(home + "/.cursor/cli-config.json"); }},
};

// The lever moves from 0 to 1 while the sync waits for the lock: it must write 1, the reading it
// takes once it holds the lock, never the 0 that stood when it was called.
TEST(LeverFollow, WritesTheReadingTakenUnderTheLock) {
    SyncLock::setDefaultWait(60s);
    for (const Followed& f : kFollowed) {
        SCOPED_TRACE(f.name);
        test::TempDir home;
        f.prepare(home.path());
        std::atomic<int64_t> lever{0};
        std::atomic<bool> testHoldsLock{true};
        std::atomic<int> reads{0}, readsWhileHeld{0};
        std::atomic<pid_t> tid{0};
        const LeverFollow::LeverReader read = [&]() -> std::optional<int64_t> {
            ++reads;
            if (testHoldsLock) ++readsWhileHeld;
            return lever.load();
        };
        std::optional<SyncLock> held(std::in_place, home.path(), f.lock);
        ASSERT_TRUE(held->held());
        std::thread syncing([&] {
            tid = static_cast<pid_t>(::syscall(SYS_gettid));
            f.sync(home.path(), read);
        });
        // Until the sync waits for the lock (or has read too early).
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (reads == 0 && !(tid != 0 && asleep(tid)) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        lever = 1;
        testHoldsLock = false;
        held.reset();
        syncing.join();
        EXPECT_EQ(readsWhileHeld, 0);
        EXPECT_TRUE(f.followsOne(home.path()));
        // A lever nobody knows leaves the file as it is.
        const auto before = files::readFile(KimiConfigLeverSync::configPath(home.path()));
        f.sync(home.path(), [] { return std::optional<int64_t>(); });
        EXPECT_EQ(files::readFile(KimiConfigLeverSync::configPath(home.path())), before);
    }
    SyncLock::setDefaultWait(SyncLock::kDefaultWait);
}

// The lock a thread holds may be taken again inside, without waiting and without letting go.
TEST(LeverFollow, ALockTakenAgainByItsHolder) {
    test::TempDir home;
    SyncLock outer(home.path(), paths::kKimiConfigLock, 0ms);
    ASSERT_TRUE(outer.held());
    { EXPECT_TRUE(SyncLock(home.path(), paths::kKimiConfigLock, 0ms).held()); }
    bool otherThreadGotIt = true;
    std::thread([&] { otherThreadGotIt = SyncLock(home.path(), paths::kKimiConfigLock, 0ms).held(); }).join();
    EXPECT_FALSE(otherThreadGotIt);
}

}  // namespace
}  // namespace vemlo
