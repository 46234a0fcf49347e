#include "agent/SocketServer.h"
#include "agent/VemloAgent.h"

#include <sys/socket.h>
#include <unistd.h>

namespace vemlo {

bool VemloAgent::startSocketListener() {
    watchdog_.start();
    std::weak_ptr<VemloAgent> weak = weak_from_this();
    MainQueue* queue = &queue_;
    // On the main loop the server calls straight in; from a thread of its own (queues without an
    // Asio loop) every request crosses over to the main queue first.
    const bool onMainLoop = queue_.asioContext() != nullptr;
    SocketServer::Callbacks callbacks;
    callbacks.onCommand = [weak, queue, onMainLoop](CommandRequest request, int fd) {
        auto handle = [weak, request = std::move(request), fd] {
            if (auto self = weak.lock())
                self->handleJsonCommand(request.cmd, request.object, fd);
            else
                ::close(fd);
        };
        if (onMainLoop)
            handle();
        else
            queue->post(std::move(handle));
    };
    callbacks.onPlainState = [weak, queue, onMainLoop](uint8_t value) {
        auto handle = [weak, value] {
            if (auto self = weak.lock()) self->sendState(value);
        };
        if (onMainLoop)
            handle();
        else
            queue->post(std::move(handle));
    };
    server_ = std::make_unique<SocketServer>(std::move(callbacks), queue_.asioContext());
    return server_->start(socketPath_, [this](const std::string& line) { emit(line); });
}

// The reply is a few dozen bytes and the socket's send buffer is empty, so one non-blocking send
// never waits; writing it here saves a hop to another thread. MSG_NOSIGNAL: a client that already
// left must not take the agent down with SIGPIPE.
void VemloAgent::replyAndClose(int fd, const Json& reply) {
    std::string bytes = json::dumpCompact(reply);
    if (!bytes.empty()) {
        bytes += '\n';
        (void)::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    ::close(fd);
}

}  // namespace vemlo
