#include "platform/bluez/DBusThread.h"

#include <dbus/dbus.h>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>

namespace vemlo::bluez {

using ReplyHandler = std::function<void(MessagePtr)>;

struct DBusThreadCallbacks {
    static dbus_bool_t addWatch(DBusWatch* watch, void* data) {
        static_cast<DBusThread*>(data)->watches_.push_back(watch);
        return TRUE;
    }
    static void removeWatch(DBusWatch* watch, void* data) {
        auto& watches = static_cast<DBusThread*>(data)->watches_;
        watches.erase(std::remove(watches.begin(), watches.end(), watch), watches.end());
    }
    // Whether a watch is enabled is read afresh before every poll.
    static void toggleWatch(DBusWatch*, void*) {}

    static dbus_bool_t addTimeout(DBusTimeout* timeout, void* data) {
        static_cast<DBusThread*>(data)->timeouts_.push_back({timeout, deadlineOf(timeout)});
        return TRUE;
    }
    static void removeTimeout(DBusTimeout* timeout, void* data) {
        auto& timeouts = static_cast<DBusThread*>(data)->timeouts_;
        std::erase_if(timeouts, [timeout](const auto& entry) { return entry.timeout == timeout; });
    }
    static void toggleTimeout(DBusTimeout* timeout, void* data) {
        for (auto& entry : static_cast<DBusThread*>(data)->timeouts_)
            if (entry.timeout == timeout) entry.deadline = deadlineOf(timeout);
    }
    static std::chrono::steady_clock::time_point deadlineOf(DBusTimeout* timeout) {
        return std::chrono::steady_clock::now() + std::chrono::milliseconds(dbus_timeout_get_interval(timeout));
    }

    static void wakeupMain(void* data) { static_cast<DBusThread*>(data)->wake(); }

    static DBusHandlerResult filter(DBusConnection*, DBusMessage* message, void* data) {
        auto* self = static_cast<DBusThread*>(data);
        if (dbus_message_get_type(message) == DBUS_MESSAGE_TYPE_SIGNAL && self->handlers_.signal) {
            dbus_message_ref(message);
            self->handlers_.signal(adoptMessage(message));
            // Handled: libdbus would otherwise go on routing the message here (reading its header,
            // which fills caches inside the message) while the main thread is already reading it.
            // Nothing else on this connection wants signals.
            return DBUS_HANDLER_RESULT_HANDLED;
        }
        return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    }

    static void replyArrived(DBusPendingCall* pending, void* data) {
        auto reply = adoptMessage(dbus_pending_call_steal_reply(pending));
        if (auto& handler = *static_cast<ReplyHandler*>(data)) handler(std::move(reply));
    }
    static void freeReplyHandler(void* data) { delete static_cast<ReplyHandler*>(data); }
};

DBusThread::DBusThread(std::string address, std::vector<std::string> matchRules, Handlers handlers,
                       std::chrono::milliseconds retryInterval)
    : address_(std::move(address)),
      matchRules_(std::move(matchRules)),
      handlers_(std::move(handlers)),
      retryInterval_(retryInterval) {
    // Messages are built on the main queue and sent from here; libdbus's shared state needs its locks.
    dbus_threads_init_default();
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    thread_ = std::thread([this] { run(); });
}

DBusThread::~DBusThread() {
    stopping_ = true;
    wake();
    if (thread_.joinable()) thread_.join();
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

void DBusThread::call(MessagePtr message, int timeoutMs, std::function<void(MessagePtr)> onReply) {
    {
        std::lock_guard lock(mutex_);
        jobs_.push_back([this, message = std::move(message), timeoutMs, onReply = std::move(onReply)]() mutable {
            send(message, timeoutMs, std::move(onReply));
        });
    }
    wake();
}

void DBusThread::wake() {
    if (wakeFd_ < 0) return;
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wakeFd_, &one, sizeof one);
}

void DBusThread::run() {
    while (!stopping_) {
        if (!connection_ && !connect()) {
            // Calls made meanwhile learn at once that nothing was sent.
            runJobs();
            waitForWake(retryInterval_);
            runJobs();
            continue;
        }
        pollOnce();
    }
    disconnect();
    std::lock_guard lock(mutex_);
    jobs_.clear();
}

bool DBusThread::connect() {
    DBusError error;
    dbus_error_init(&error);
    DBusConnection* connection = nullptr;
    if (address_.empty()) {
        connection = dbus_bus_get_private(DBUS_BUS_SYSTEM, &error);
    } else {
        connection = dbus_connection_open_private(address_.c_str(), &error);
        if (connection && !dbus_bus_register(connection, &error)) {
            dbus_connection_close(connection);
            dbus_connection_unref(connection);
            connection = nullptr;
        }
    }
    if (!connection) {
        const std::string reason = dbus_error_is_set(&error) && error.message ? error.message : "cannot connect";
        dbus_error_free(&error);
        if (handlers_.unavailable) handlers_.unavailable(reason);
        return false;
    }
    // libdbus ends the whole process when a bus connection drops unless told otherwise.
    dbus_connection_set_exit_on_disconnect(connection, FALSE);
    connection_ = connection;
    if (!dbus_connection_set_watch_functions(connection, DBusThreadCallbacks::addWatch,
                                             DBusThreadCallbacks::removeWatch, DBusThreadCallbacks::toggleWatch, this,
                                             nullptr) ||
        !dbus_connection_set_timeout_functions(connection, DBusThreadCallbacks::addTimeout,
                                               DBusThreadCallbacks::removeTimeout, DBusThreadCallbacks::toggleTimeout,
                                               this, nullptr) ||
        !dbus_connection_add_filter(connection, DBusThreadCallbacks::filter, this, nullptr)) {
        disconnect();
        if (handlers_.unavailable) handlers_.unavailable("out of memory");
        return false;
    }
    dbus_connection_set_wakeup_main_function(connection, DBusThreadCallbacks::wakeupMain, this, nullptr);
    // Without an error argument the match is sent without waiting for its reply.
    for (const auto& rule : matchRules_) dbus_bus_add_match(connection, rule.c_str(), nullptr);
    if (handlers_.connected) handlers_.connected();
    return true;
}

void DBusThread::disconnect() {
    if (!connection_) return;
    DBusConnection* connection = connection_;
    dbus_connection_remove_filter(connection, DBusThreadCallbacks::filter, this);
    dbus_connection_set_wakeup_main_function(connection, nullptr, nullptr, nullptr);
    dbus_connection_set_watch_functions(connection, nullptr, nullptr, nullptr, nullptr, nullptr);
    dbus_connection_set_timeout_functions(connection, nullptr, nullptr, nullptr, nullptr, nullptr);
    dbus_connection_close(connection);
    // Pending calls go with the connection; their reply handlers are freed, never called.
    dbus_connection_unref(connection);
    connection_ = nullptr;
    watches_.clear();
    timeouts_.clear();
}

void DBusThread::waitForWake(std::chrono::milliseconds timeout) {
    pollfd fd{wakeFd_, POLLIN, 0};
    if (::poll(&fd, 1, static_cast<int>(timeout.count())) > 0) {
        uint64_t count = 0;
        [[maybe_unused]] ssize_t n = ::read(wakeFd_, &count, sizeof count);
    }
}

void DBusThread::dispatchAll() {
    while (connection_ && dbus_connection_dispatch(connection_) == DBUS_DISPATCH_DATA_REMAINS) {}
}

void DBusThread::pollOnce() {
    dispatchAll();

    std::vector<pollfd> fds{{wakeFd_, POLLIN, 0}};
    std::vector<DBusWatch*> polled;
    for (DBusWatch* watch : watches_) {
        const int fd = dbus_watch_get_unix_fd(watch);
        if (fd < 0 || !dbus_watch_get_enabled(watch)) continue;
        const unsigned flags = dbus_watch_get_flags(watch);
        short events = 0;
        if (flags & DBUS_WATCH_READABLE) events |= POLLIN;
        if (flags & DBUS_WATCH_WRITABLE) events |= POLLOUT;
        fds.push_back({fd, events, 0});
        polled.push_back(watch);
    }
    int waitMs = -1;
    const auto now = std::chrono::steady_clock::now();
    for (const auto& entry : timeouts_) {
        if (!dbus_timeout_get_enabled(entry.timeout)) continue;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(entry.deadline - now).count();
        const int ms = static_cast<int>(std::clamp<long long>(left, 0, 60'000));
        waitMs = waitMs < 0 ? ms : std::min(waitMs, ms);
    }

    if (::poll(fds.data(), fds.size(), waitMs) < 0 && errno != EINTR) waitForWake(std::chrono::milliseconds(100));

    if (fds[0].revents & POLLIN) {
        uint64_t count = 0;
        [[maybe_unused]] ssize_t n = ::read(wakeFd_, &count, sizeof count);
    }
    for (size_t i = 0; i < polled.size(); ++i) {
        const short revents = fds[i + 1].revents;
        if (!revents) continue;
        // Handling one watch may remove another.
        if (std::find(watches_.begin(), watches_.end(), polled[i]) == watches_.end()) continue;
        unsigned flags = 0;
        if (revents & POLLIN) flags |= DBUS_WATCH_READABLE;
        if (revents & POLLOUT) flags |= DBUS_WATCH_WRITABLE;
        if (revents & POLLERR) flags |= DBUS_WATCH_ERROR;
        if (revents & POLLHUP) flags |= DBUS_WATCH_HANGUP;
        dbus_watch_handle(polled[i], flags);
    }

    const auto after = std::chrono::steady_clock::now();
    std::vector<DBusTimeout*> expired;
    for (const auto& entry : timeouts_)
        if (dbus_timeout_get_enabled(entry.timeout) && entry.deadline <= after) expired.push_back(entry.timeout);
    for (DBusTimeout* timeout : expired) {
        auto it =
            std::find_if(timeouts_.begin(), timeouts_.end(), [timeout](const auto& e) { return e.timeout == timeout; });
        if (it == timeouts_.end()) continue;
        it->deadline = DBusThreadCallbacks::deadlineOf(timeout);
        dbus_timeout_handle(timeout);
    }

    dispatchAll();
    runJobs();

    if (connection_ && !dbus_connection_get_is_connected(connection_)) {
        // Replies still queued (errors for calls in flight) are delivered before the loss is told.
        dispatchAll();
        disconnect();
        if (handlers_.unavailable) handlers_.unavailable("connection to the system bus lost");
    }
}

void DBusThread::runJobs() {
    for (;;) {
        Job job;
        {
            std::lock_guard lock(mutex_);
            if (jobs_.empty()) return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        job();
    }
}

void DBusThread::send(const MessagePtr& message, int timeoutMs, std::function<void(MessagePtr)> onReply) {
    DBusPendingCall* pending = nullptr;
    if (!connection_ || !message || !dbus_connection_send_with_reply(connection_, message.get(), &pending, timeoutMs) ||
        !pending) {
        if (onReply) onReply(nullptr);
        return;
    }
    auto* handler = new ReplyHandler(std::move(onReply));
    if (!dbus_pending_call_set_notify(pending, DBusThreadCallbacks::replyArrived, handler,
                                      DBusThreadCallbacks::freeReplyHandler)) {
        dbus_pending_call_cancel(pending);
        if (*handler) (*handler)(nullptr);
        delete handler;
    }
    // The connection keeps the call alive until it completes or the connection goes.
    dbus_pending_call_unref(pending);
}

}  // namespace vemlo::bluez
