#include "leversync/SyncLock.h"

#include "platform/Files.h"
#include "platform/Paths.h"

#include <sys/file.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <thread>

namespace vemlo {

namespace {
std::atomic<std::chrono::milliseconds::rep> gDefaultWaitMs{SyncLock::kDefaultWait.count()};
}

std::chrono::milliseconds SyncLock::defaultWait() { return std::chrono::milliseconds(gDefaultWaitMs.load()); }

void SyncLock::setDefaultWait(std::chrono::milliseconds wait) { gDefaultWaitMs = wait.count(); }

SyncLock::SyncLock(const std::string& home, std::string_view name) : SyncLock(home, name, defaultWait()) {}

SyncLock::SyncLock(const std::string& home, std::string_view name, std::chrono::milliseconds wait) {
    if (!paths::createSupportFolder(home)) return;
    fd_ = files::openOwnFile(paths::lockFile(home, name));
    if (fd_ < 0) return;
    const auto deadline = std::chrono::steady_clock::now() + wait;
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
        if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) {
            held_ = true;
            return;
        }
        if (errno != EWOULDBLOCK && errno != EINTR) return;
        if (std::chrono::steady_clock::now() >= deadline) return;
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(20));
    }
}

SyncLock::~SyncLock() {
    if (fd_ >= 0) ::close(fd_);  // closing releases the lock
}

}  // namespace vemlo
