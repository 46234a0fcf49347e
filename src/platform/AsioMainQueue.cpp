#include "platform/AsioMainQueue.h"

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

namespace vemlo {
namespace {

class AsioTimer final : public Cancellable, public std::enable_shared_from_this<AsioTimer> {
public:
    AsioTimer(asio::io_context& io, MainQueue::Duration period, MainQueue::Task task)
        : timer_(io), period_(period), task_(std::move(task)) {}

    void start(MainQueue::Duration first) {
        timer_.expires_after(first);
        arm();
    }

    void cancel() override {
        cancelled_ = true;
        timer_.cancel();
    }

private:
    void arm() {
        // The pending wait keeps the timer alive; cancel() ends the chain.
        timer_.async_wait([self = shared_from_this()](const std::error_code& ec) {
            if (ec || self->cancelled_) return;
            if (self->period_.count() > 0) {
                self->timer_.expires_at(self->timer_.expiry() + self->period_);
                self->arm();
            }
            self->task_();
        });
    }

    asio::steady_timer timer_;
    MainQueue::Duration period_;
    MainQueue::Task task_;
    bool cancelled_ = false;
};

}  // namespace

AsioMainQueue::AsioMainQueue() : work_(asio::make_work_guard(io_)) {}

void AsioMainQueue::post(Task task) { asio::post(io_, std::move(task)); }

std::shared_ptr<Cancellable> AsioMainQueue::runAfter(Duration delay, Task task) {
    auto timer = std::make_shared<AsioTimer>(io_, Duration::zero(), std::move(task));
    timer->start(delay);
    return timer;
}

std::shared_ptr<Cancellable> AsioMainQueue::repeat(Duration first, Duration period, Task task) {
    auto timer = std::make_shared<AsioTimer>(io_, period, std::move(task));
    timer->start(first);
    return timer;
}

MainQueue::TimePoint AsioMainQueue::now() const { return Clock::now(); }

void AsioMainQueue::run() { io_.run(); }

void AsioMainQueue::stop() {
    work_.reset();
    io_.stop();
}

}  // namespace vemlo
