#include "agent/SocketServer.h"

#include "platform/ControlClient.h"
#include "platform/Files.h"
#include "platform/SocketPath.h"

#include <asio/io_context.hpp>
#include <asio/local/stream_protocol.hpp>
#include <asio/steady_timer.hpp>

#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <array>
#include <climits>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace vemlo {
namespace {

using Socket = asio::local::stream_protocol::socket;
using Log = std::function<void(const std::string&)>;

// Whether a listener answers on the socket at `path` (short enough for an address). Non-blocking, so a listener whose
// queue is full counts as answering instead of holding up the start.
bool someoneListens(const std::string& path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const bool answered =
        ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 || errno == EAGAIN || errno == EINPROGRESS;
    ::close(fd);
    return answered;
}

// Makes way for the listening socket: a socket of ours that nobody answers on (left by an agent
// that died) is removed. Anything else there is somebody's and stays: a live agent, a file or a
// link (the path may come from the environment), a socket of another user.
bool claimPath(const std::string& path, const Log& log) {
    struct stat st {};
    // Nothing there, or a path that cannot be looked at: bind says what is wrong with it.
    if (::lstat(path.c_str(), &st) != 0) return true;
    if (!S_ISSOCK(st.st_mode)) {
        log("Unix socket 路径上已有别的文件（不是 socket），保留不动: " + path);
        return false;
    }
    if (st.st_uid != ::geteuid()) {
        log("Unix socket 属于其他用户（uid=" + std::to_string(st.st_uid) + "），保留不动: " + path);
        return false;
    }
    if (someoneListens(path)) {
        log("另一个 agent 已在监听 Unix socket: " + path);
        return false;
    }
    ::unlink(path.c_str());
    return true;
}

// Agents starting together on one path must not both see it stale, both unlink and both bind
// (the loser would run on a socket nobody can reach). An flock on "<path>.lock", held for the
// server's life, makes check, unlink, bind and listen one step per path. The lock file stays: removing
// it would let a later agent lock a new file while an older one still holds the removed one.
// The descriptor, or -1 after the reason was logged.
int lockPath(const std::string& path, const Log& log) {
    std::string lock = path + ".lock";
    if (lock.front() != '/') {  // a relative --socket is the user's choice: beside it, wherever that is
        char cwd[PATH_MAX];
        if (::getcwd(cwd, sizeof cwd)) lock = files::join(cwd, lock);
    }
    std::string err;
    const int fd = files::openOwnFile(lock, &err);
    if (fd < 0) {
        log("Unix socket 的锁文件 " + lock + " 不可用（" + err + "），保留不动: " + path);
        return -1;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return fd;
    ::close(fd);
    log(someoneListens(path) ? "另一个 agent 已在监听 Unix socket: " + path
                             : "另一个 agent 正在启动，持有 Unix socket 的锁: " + path);
    return -1;
}

// "bind() 失败: <errno>" followed by the reason in words; for a path too long for an address, its
// length, the limit and a path that fits.
std::string bindFailure(int err, const std::string& path) {
    std::string line = "bind() 失败: " + std::to_string(err) + "（" + files::errorText(err);
    if (err == ENAMETOOLONG) {
        constexpr size_t kLimit = sizeof(sockaddr_un::sun_path) - 1;
        const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        std::string shorter = runtime && *runtime ? std::string(runtime) + "/vemlo.sock" : "";
        if (shorter.empty() || shorter.size() > kLimit) shorter = kDefaultSocketPath;
        line += "：路径 " + std::to_string(path.size()) + " 字节，上限 " + std::to_string(kLimit) +
                " 字节；请换一个更短的路径（--socket 或 VEMLO_SOCKET），例如 " + shorter;
    }
    return line + "）";
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
        : callbacks(std::move(cb)),
          own(shared ? nullptr : std::make_unique<asio::io_context>(1)),
          io(shared ? *shared : *own) {}

    // Connections taken per wake-up: a steady stream of clients still lets timers and replies run.
    static constexpr int kAcceptBurst = 32;

    void acceptNext() {
        if (reading >= kMaxReading) {
            acceptPaused = true;
            return;
        }
        acceptor->async_wait(asio::socket_base::wait_read, [this](const std::error_code& ec) {
            if (ec == asio::error::operation_aborted) return;
            if (ec) {
                retryLater();
                return;
            }
            acceptReady();
        });
    }

    // Accepting by hand, not through the acceptor's sockets: a connection answered at once then never
    // costs registering with the event loop, setting a mode and deregistering again.
    void acceptReady() {
        for (int taken = 0; taken < kAcceptBurst && reading < kMaxReading; ++taken) {
            int fd = ::accept4(acceptor->native_handle(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno == EINTR || errno == ECONNABORTED) continue;
                if (errno == EAGAIN || errno == EWOULDBLOCK) break;
                // Out of descriptors or a transient failure: try again shortly instead of spinning.
                retryLater();
                return;
            }
            // Peers under another user id never get an answer.
            if (!control::peerIsSameUser(fd)) {
                ::close(fd);
                continue;
            }
            serve(fd);
        }
        acceptNext();
    }

    void retryLater() {
        retry.expires_after(std::chrono::milliseconds(20));
        retry.async_wait([this](const std::error_code& e) {
            if (!e) acceptNext();
        });
    }

    // A client writes its request right after connecting, so it is usually there already; only one
    // that has not written yet is handed to the event loop, with a deadline.
    void serve(int fd) {
        ssize_t n = ::recv(fd, scratch.data(), scratch.size(), 0);
        if (n > 0) {
            finish(fd, std::string_view(scratch.data(), static_cast<size_t>(n)));
            return;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            std::error_code ec;
            Socket socket(io);
            socket.assign(asio::local::stream_protocol(), fd, ec);
            if (ec) {
                ::close(fd);
                return;
            }
            read(std::make_shared<Connection>(*this, std::move(socket)));
            return;
        }
        ::close(fd);
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
            std::error_code ignored;
            if (ec || n == 0) {
                conn->socket.close(ignored);
            } else {
                int fd = conn->socket.release(ignored);
                if (fd >= 0) finish(fd, std::string_view(conn->buffer.data(), n));
            }
            --reading;
            if (acceptPaused) {
                acceptPaused = false;
                acceptNext();
            }
        });
    }

    // Dispatches one request read from `fd`, which this call takes over.
    void finish(int fd, std::string_view data) {
        Request request = recognizeRequest(data);
        if (auto* command = std::get_if<CommandRequest>(&request)) {
            callbacks.onCommand(std::move(*command), fd);
            return;
        }
        ::close(fd);
        if (auto* plain = std::get_if<PlainStateRequest>(&request)) callbacks.onPlainState(plain->value);
    }

    Callbacks callbacks;
    std::unique_ptr<asio::io_context> own;
    asio::io_context& io;
    std::unique_ptr<asio::local::stream_protocol::acceptor> acceptor;
    asio::steady_timer retry{io};
    std::thread thread;
    std::array<char, kMaxRequestBytes> scratch{};
    int reading = 0;
    bool acceptPaused = false;
    int pathLock = -1;  // held while the server lives
};

SocketServer::SocketServer(Callbacks callbacks, asio::io_context* io)
    : impl_(std::make_unique<Impl>(std::move(callbacks), io)) {}

SocketServer::~SocketServer() {
    if (impl_->own) {
        impl_->own->stop();
        if (impl_->thread.joinable()) impl_->thread.join();
    }
    if (impl_->pathLock >= 0) ::close(impl_->pathLock);
}

bool SocketServer::start(const std::string& path, const std::function<void(const std::string&)>& log) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    // The path must fit with its terminating NUL; a longer one is refused like any failed bind.
    if (path.size() >= sizeof addr.sun_path) {
        log(bindFailure(ENAMETOOLONG, path));
        return false;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    // Without its folder there is nothing to lock; bind reports the missing folder.
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos || ::access(slash == 0 ? "/" : path.substr(0, slash).c_str(), F_OK) == 0) {
        impl_->pathLock = lockPath(path, log);
        if (impl_->pathLock < 0) return false;
    }
    if (!claimPath(path, log)) return false;
    // Non-blocking, so that accepting by hand stops when the queue is empty.
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        log("socket() 失败");
        return false;
    }
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        log(bindFailure(errno, path));
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
