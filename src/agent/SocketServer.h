#pragma once

#include "agent/RequestFraming.h"

#include <functional>
#include <memory>
#include <string>

namespace vemlo {

// The control socket's listening side. Accepting and reading run on an I/O thread of its own;
// every recognised request is handed to the callbacks from that thread, and the callbacks post
// the work to the main queue. Reads are asynchronous and bounded in time, so a client that
// connects and stays silent never holds up anybody else.
class SocketServer {
public:
    struct Callbacks {
        // A command request; the descriptor now belongs to the callee, who replies and closes it.
        std::function<void(CommandRequest, int fd)> onCommand;
        // A plain state number; the connection is already closed, no reply.
        std::function<void(uint8_t value)> onPlainState;
    };

    // How long a connection may stay silent before the server gives up on it.
    static constexpr int kFirstReadTimeoutMs = 3000;

    explicit SocketServer(Callbacks callbacks);
    ~SocketServer();
    SocketServer(const SocketServer&) = delete;
    SocketServer& operator=(const SocketServer&) = delete;

    // Removes a stale file at `path`, binds, listens and starts the I/O thread. Failures are
    // reported through `log` with the agent's messages, and leave the server not listening.
    bool start(const std::string& path, const std::function<void(const std::string&)>& log);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vemlo
