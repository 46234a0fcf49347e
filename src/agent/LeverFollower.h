#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

namespace vemlo {

// Brings the assistants' configurations in line with the lever when it moves, rather than at the
// next tool call, so that a session started after the move starts right. The syncs wait for locks
// that hooks hold (up to 2 s each) and write files, so they run on a thread of their own, never on
// the main queue. Moves that come while a sync runs are gathered into one more run. Each run reads
// the lever through `readLever` once it holds a configuration's lock, and gets the newest position
// the agent published; an unknown lever leaves every file as it is.
class LeverFollower {
public:
    using ReadLever = std::function<std::optional<int64_t>()>;
    using Sync = std::function<void(const ReadLever& readLever)>;

    explicit LeverFollower(Sync sync);
    ~LeverFollower();  // waits for a running sync to end
    LeverFollower(const LeverFollower&) = delete;
    LeverFollower& operator=(const LeverFollower&) = delete;

    // The agent's effective lever, from the main queue. A change starts a sync.
    void publish(std::optional<uint8_t> lever);

    // Runs finished so far, for tests.
    uint64_t completedRuns() const;

private:
    void run();

    Sync sync_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool published_ = false;  // nothing published yet: the first known position is a change too
    std::optional<uint8_t> lever_;
    bool pending_ = false;
    bool stopping_ = false;
    uint64_t completed_ = 0;
    std::thread thread_;
};

}  // namespace vemlo
