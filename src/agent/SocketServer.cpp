#include "agent/SocketServer.h"

#include <asio/io_context.hpp>
#include <asio/local/stream_protocol.hpp>
#include <asio/steady_timer.hpp>

#include <array>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace vemlo {
namespace {

using Socket = asio::local::stream_protocol::socket;

// Peers under another user id never get an answer: the lever decides tool approvals, and no other
// local user may move it or read it.
bool sameUser(int fd) {
    struct ucred cred {};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return false;
    static const uid_t self = ::geteuid();
    return cred.uid == self;
}

}  // namespace

struct SocketServer::Impl {
    // Connections being read at once; past this, accepting pauses until one finishes, so a flood
    // of silent clients cannot exhaust the descriptor table.
    static constexpr int kMaxReading = 256;

    struct Connection : std::enable_shared_from_this<Connection> {
        Connection(Impl& server, Socket s) : owner(server), socket(std::move(s)), deadline(owner.io) {}
        Impl& owner;
        Socket socket;
        asio::steady_timer deadline;
        std::array<char, kMaxRequestBytes> buffer{};
    };

    Impl(Callbacks cb, asio::io_context* shared)
        : callbacks(std::move(cb)), own(shared ? nullptr : std::make_unique<asio::io_context>(1)),
          io(shared ? *shared : *own) {}

    void acceptNext() {
        if (reading >= kMaxReading) {
            acceptPaused = true;
            return;
        }
        acceptor->async_accept([this](const std::error_code& ec, Socket socket) {
            if (ec) {
                if (ec == asio::error::operation_aborted) return;
                // Out of descriptors or a transient failure: try again shortly instead of spinning.
                retry.expires_after(std::chrono::milliseconds(20));
                retry.async_wait([this](const std::error_code& e) {
                    if (!e) acceptNext();
                });
                return;
            }
            if (sameUser(socket.native_handle())) read(std::make_shared<Connection>(*this, std::move(socket)));
            acceptNext();
        });
    }

    void read(const std::shared_ptr<Connection>& conn) {
        ++reading;
        conn->deadline.expires_after(std::chrono::milliseconds(kFirstReadTimeoutMs));
        conn->deadline.async_wait([conn](const std::error_code& ec) {
            if (!ec) {
                std::error_code ignored;
                conn->socket.close(ignored);
            }
        });
        conn->socket.async_read_some(asio::buffer(conn->buffer), [this, conn](const std::error_code& ec, size_t n) {
            conn->deadline.cancel();
            finish(*conn, ec ? 0 : n);
            --reading;
            if (acceptPaused) {
                acceptPaused = false;
                acceptNext();
            }
        });
    }

    void finish(Connection& conn, size_t n) {
        std::error_code ignored;
        if (n == 0) {
            conn.socket.close(ignored);
            return;
        }
        Request request = recognizeRequest(std::string_view(conn.buffer.data(), n));
        if (auto* command = std::get_if<CommandRequest>(&request)) {
            int fd = conn.socket.release(ignored);
            if (fd >= 0) callbacks.onCommand(std::move(*command), fd);
            return;
        }
        conn.socket.close(ignored);
        if (auto* plain = std::get_if<PlainStateRequest>(&request)) callbacks.onPlainState(plain->value);
    }

    Callbacks callbacks;
    std::unique_ptr<asio::io_context> own;
    asio::io_context& io;
    std::unique_ptr<asio::local::stream_protocol::acceptor> acceptor;
    asio::steady_timer retry{io};
    std::thread thread;
    int reading = 0;
    bool acceptPaused = false;
};

SocketServer::SocketServer(Callbacks callbacks, asio::io_context* io)
    : impl_(std::make_unique<Impl>(std::move(callbacks), io)) {}

SocketServer::~SocketServer() {
    if (impl_->own) {
        impl_->own->stop();
        if (impl_->thread.joinable()) impl_->thread.join();
    }
}

bool SocketServer::start(const std::string& path, const std::function<void(const std::string&)>& log) {
    ::unlink(path.c_str());
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        log("socket() 失败");
        return false;
    }
    sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    // The path must fit with its terminating NUL; a longer one is refused like any failed bind.
    if (path.size() >= sizeof addr.sun_path) {
        log("bind() 失败: " + std::to_string(ENAMETOOLONG));
        ::close(fd);
        return false;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        int err = errno;
        log("bind() 失败: " + std::to_string(err));
        ::close(fd);
        return false;
    }
    ::listen(fd, 5);
    log("监听 Unix socket: " + path);

    std::error_code ec;
    impl_->acceptor = std::make_unique<asio::local::stream_protocol::acceptor>(impl_->io);
    impl_->acceptor->assign(asio::local::stream_protocol(), fd, ec);
    if (ec) {
        ::close(fd);
        return false;
    }
    impl_->acceptNext();
    if (impl_->own) impl_->thread = std::thread([impl = impl_.get()] { impl->io.run(); });
    return true;
}

}  // namespace vemlo
