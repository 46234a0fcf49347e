#pragma once

#include "agent/RequestFraming.h"

#include <functional>
#include <memory>
#include <string>

namespace asio {
class io_context;
}

namespace vemlo {

// The control socket's listening side. Accepting and reading are asynchronous and run on the given
// event loop (the main thread's, so a request costs no thread hand-over), or on an I/O thread of
// the server's own when there is none. Reads are bounded in time, so a client that connects and
// stays silent never holds up anybody else.
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

    // With `io` null the server runs its own I/O thread and calls the callbacks from there.
    SocketServer(Callbacks callbacks, asio::io_context* io);
    ~SocketServer();
    SocketServer(const SocketServer&) = delete;
    SocketServer& operator=(const SocketServer&) = delete;

    // Binds `path`, listens and starts the I/O thread. Only a socket of our own user that nobody
    // answers on is removed first; a live agent, any other file and another user's socket are left
    // alone and the start fails. Failures are reported through `log` with the agent's messages and
    // leave the server not listening.
    bool start(const std::string& path, const std::function<void(const std::string&)>& log);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vemlo
