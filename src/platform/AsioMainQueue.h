#pragma once

#include "platform/MainQueue.h"

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

namespace vemlo {

// The real main queue: an Asio io_context driven by the main thread.
class AsioMainQueue final : public MainQueue {
public:
    AsioMainQueue();

    void post(Task task) override;
    std::shared_ptr<Cancellable> runAfter(Duration delay, Task task) override;
    std::shared_ptr<Cancellable> repeat(Duration first, Duration period, Task task) override;
    TimePoint now() const override;
    asio::io_context* asioContext() override { return &io_; }

    // Runs until `stop` is called; in agent mode that is never.
    void run();
    void stop();
    asio::io_context& context() { return io_; }

private:
    asio::io_context io_{1};
    asio::executor_work_guard<asio::io_context::executor_type> work_;
};

}  // namespace vemlo
