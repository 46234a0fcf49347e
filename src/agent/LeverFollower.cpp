#include "agent/LeverFollower.h"

namespace vemlo {

LeverFollower::LeverFollower(Sync sync) : sync_(std::move(sync)), thread_([this] { run(); }) {}

LeverFollower::~LeverFollower() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

void LeverFollower::publish(std::optional<uint8_t> lever) {
    {
        std::lock_guard lock(mutex_);
        if (published_ && lever == lever_) return;
        published_ = true;
        lever_ = lever;
        // A lever that became unknown (keyboard gone) changes no file; the next known position will.
        if (!lever) return;
        pending_ = true;
    }
    wake_.notify_one();
}

uint64_t LeverFollower::completedRuns() const {
    std::lock_guard lock(mutex_);
    return completed_;
}

void LeverFollower::run() {
    const ReadLever readLever = [this]() -> std::optional<int64_t> {
        std::lock_guard lock(mutex_);
        return lever_;
    };
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return pending_ || stopping_; });
        if (stopping_) return;
        pending_ = false;
        lock.unlock();
        sync_(readLever);
        lock.lock();
        ++completed_;
    }
}

}  // namespace vemlo
