#pragma once

#include "platform/bluez/BluezMessages.h"

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct DBusConnection;
struct DBusWatch;
struct DBusTimeout;

namespace vemlo::bluez {

// One private connection to the system bus, owned by a thread of its own: it connects (retrying
// quietly while the bus cannot be reached), subscribes to the signals given, passes every signal
// on, and sends method calls with their replies handled asynchronously. All handlers run on this
// thread; the caller re-posts what it needs. Nothing here ever blocks the caller.
class DBusThread {
public:
    struct Handlers {
        // A fresh connection is up and subscribed.
        std::function<void()> connected;
        // A connection attempt failed, or the connection was lost; carries libdbus's explanation.
        std::function<void(const std::string&)> unavailable;
        std::function<void(MessagePtr)> signal;
    };

    // `address` empty means the system bus (which honours DBUS_SYSTEM_BUS_ADDRESS).
    DBusThread(std::string address, std::vector<std::string> matchRules, Handlers handlers,
               std::chrono::milliseconds retryInterval);
    // Stops the thread and closes the connection; no handler runs after this returns. A connection
    // attempt under way is waited for (libdbus connects synchronously, within its own time-out).
    ~DBusThread();
    DBusThread(const DBusThread&) = delete;
    DBusThread& operator=(const DBusThread&) = delete;

    // Sends `message` from the bus thread. `onReply` gets the reply or error there, or a null
    // message when there is no connection. `timeoutMs` as libdbus takes it (-1 default, INT_MAX
    // for none). Callable from any thread.
    void call(MessagePtr message, int timeoutMs, std::function<void(MessagePtr)> onReply);

private:
    using Job = std::function<void()>;

    void run();
    bool connect();
    void disconnect();
    void pollOnce();
    void runJobs();
    void wake();
    void send(const MessagePtr& message, int timeoutMs, std::function<void(MessagePtr)> onReply);

    void dispatchAll();
    void waitForWake(std::chrono::milliseconds timeout);

    // libdbus's C callbacks, which reach the members below.
    friend struct DBusThreadCallbacks;

    struct TimeoutEntry {
        DBusTimeout* timeout;
        std::chrono::steady_clock::time_point deadline;
    };

    const std::string address_;
    const std::vector<std::string> matchRules_;
    const Handlers handlers_;
    const std::chrono::milliseconds retryInterval_;

    std::atomic<bool> stopping_{false};
    int wakeFd_ = -1;
    std::mutex mutex_;
    std::deque<Job> jobs_;

    // Touched only on the bus thread.
    DBusConnection* connection_ = nullptr;
    std::vector<DBusWatch*> watches_;
    std::vector<TimeoutEntry> timeouts_;

    std::thread thread_;
};

}  // namespace vemlo::bluez
