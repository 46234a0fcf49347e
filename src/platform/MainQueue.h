#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace asio {
class io_context;
}

namespace vemlo {

// A scheduled piece of work that can be called off before it runs.
class Cancellable {
public:
    virtual ~Cancellable() = default;
    virtual void cancel() = 0;
};

// The agent's single serial queue. Every read and write of agent state happens on it; other threads
// only post work here. `post` is safe to call from any thread, everything else only from the queue.
class MainQueue {
public:
    using Clock = std::chrono::steady_clock;
    using Duration = std::chrono::nanoseconds;
    using TimePoint = std::chrono::time_point<Clock, Duration>;
    using Task = std::function<void()>;

    virtual ~MainQueue() = default;

    virtual void post(Task task) = 0;
    // Runs `task` once, `delay` from now; a cancelled task never runs.
    virtual std::shared_ptr<Cancellable> runAfter(Duration delay, Task task) = 0;
    // Runs `task` at now + first, then every `period`, measured from the first deadline so that
    // slow handlers do not make the timer drift.
    virtual std::shared_ptr<Cancellable> repeat(Duration first, Duration period, Task task) = 0;
    virtual TimePoint now() const = 0;

    // The event loop behind the queue, when it is an Asio one: socket work can then run on the main
    // thread itself instead of handing every request across threads.
    virtual asio::io_context* asioContext() { return nullptr; }
};

// Seconds as the queue's duration, for constants written in seconds.
constexpr MainQueue::Duration seconds(double s) {
    // Rounded, not truncated: 1.5 s must be exactly 1,500,000,000 ns.
    return MainQueue::Duration(static_cast<MainQueue::Duration::rep>(s * 1e9 + (s < 0 ? -0.5 : 0.5)));
}

}  // namespace vemlo
