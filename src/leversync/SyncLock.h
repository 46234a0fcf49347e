#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace vemlo {

// An advisory lock (flock) on a lock file of our own in the support folder (paths::lockFile), never
// inside an assistant's folder. Hooks of one
// assistant run concurrently; the lock keeps two of them from rewriting the same configuration at
// once. A lock that cannot be had within `wait` is given up and the caller proceeds unlocked, so a
// stuck process can never stall hooks. A thread that holds a lock may take it again (an inner
// SyncLock of the same name is held at once and releases nothing), so a caller can hold the lock
// around a sync that takes it itself.
class SyncLock {
public:
    static constexpr std::chrono::milliseconds kDefaultWait{2000};

    // `name` is one of the lock names in platform/Paths.h. Waits `defaultWait()`.
    SyncLock(const std::string& home, std::string_view name);
    SyncLock(const std::string& home, std::string_view name, std::chrono::milliseconds wait);

    // kDefaultWait, unless a test that races many threads in one process on a busy machine asked
    // for longer: there the bound would turn lock contention into a timing accident.
    static std::chrono::milliseconds defaultWait();
    static void setDefaultWait(std::chrono::milliseconds wait);
    ~SyncLock();
    SyncLock(const SyncLock&) = delete;
    SyncLock& operator=(const SyncLock&) = delete;

    bool held() const { return held_; }

private:
    std::string path_;
    int fd_ = -1;
    bool held_ = false;
};

}  // namespace vemlo
