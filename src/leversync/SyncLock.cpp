#include "leversync/SyncLock.h"

#include "platform/Files.h"
#include "platform/Paths.h"

#include <sys/file.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <thread>
#include <vector>

namespace vemlo {

namespace {
std::atomic<std::chrono::milliseconds::rep> gDefaultWaitMs{SyncLock::kDefaultWait.count()};

// The lock files this thread holds. flock(2) locks belong to an open file description, so a second
// open of the same lock file in one thread would wait for the thread itself and give up unlocked.
thread_local std::vector<std::string> tHeld;
}  // namespace

std::chrono::milliseconds SyncLock::defaultWait() { return std::chrono::milliseconds(gDefaultWaitMs.load()); }

void SyncLock::setDefaultWait(std::chrono::milliseconds wait) { gDefaultWaitMs = wait.count(); }

SyncLock::SyncLock(const std::string& home, std::string_view name) : SyncLock(home, name, defaultWait()) {}

SyncLock::SyncLock(const std::string& home, std::string_view name, std::chrono::milliseconds wait) {
    path_ = paths::lockFile(home, name);
    if (std::find(tHeld.begin(), tHeld.end(), path_) != tHeld.end()) {
        held_ = true;  // the outer lock of this thread covers this one; it stays the one that unlocks
        return;
    }
    if (!paths::createSupportFolder(home)) return;
    fd_ = files::openOwnFile(path_);
    if (fd_ < 0) return;
    const auto deadline = std::chrono::steady_clock::now() + wait;
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
        if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) {
            held_ = true;
            tHeld.push_back(path_);
            return;
        }
        if (errno != EWOULDBLOCK && errno != EINTR) return;
        if (std::chrono::steady_clock::now() >= deadline) return;
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(20));
    }
}

SyncLock::~SyncLock() {
    if (fd_ < 0) return;
    if (held_) tHeld.erase(std::find(tHeld.begin(), tHeld.end(), path_));
    ::close(fd_);  // closing releases the lock
}

}  // namespace vemlo
