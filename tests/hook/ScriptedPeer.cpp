#include "ScriptedPeer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>
#include <cstring>

namespace vemlo::test {
namespace {

bool readable(int fd, int timeoutMs = 10'000) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) > 0;
}

}  // namespace

int boundSocket(const std::string& path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    ::unlink(path.c_str());
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

ScriptedPeer::ScriptedPeer(const std::string& path, Script script) : listenFd_(boundSocket(path)) {
    if (listenFd_ < 0 || ::listen(listenFd_, 4) != 0) return;
    thread_ = std::thread([this, script = std::move(script)] {
        if (!readable(listenFd_)) return;
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return;
        char buf[512];
        while (request_.find('\n') == std::string::npos && readable(fd)) {
            ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0) break;
            request_.append(buf, static_cast<size_t>(n));
        }
        script(fd);
        ::close(fd);
    });
}

ScriptedPeer::~ScriptedPeer() {
    (void)request();
    if (listenFd_ >= 0) ::close(listenFd_);
}

const std::string& ScriptedPeer::request() {
    if (thread_.joinable()) thread_.join();
    return request_;
}

void ScriptedPeer::send(int fd, const std::string& bytes) {
    (void)::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

void ScriptedPeer::waitForClose(int fd) {
    char buf[512];
    while (readable(fd) && ::read(fd, buf, sizeof buf) > 0) {}
}

ForeignPeer::ForeignPeer(const std::string& path, uid_t uid) {
    int listenFd = boundSocket(path);
    int pipeFds[2];
    if (listenFd < 0 || ::pipe2(pipeFds, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
        // The kernel records a listener's credentials at listen(), so the user changes first. Clients
        // are left in the backlog: the credentials alone must turn them away.
        if (::setgid(uid) != 0 || ::setuid(uid) != 0 || ::listen(listenFd, 4) != 0) ::_exit(1);
        (void)!::write(pipeFds[1], "L", 1);
        for (;;) ::pause();
    }
    ::close(listenFd);
    ::close(pipeFds[1]);
    events_ = pipeFds[0];
    char c = 0;
    listening_ = pid_ > 0 && readable(events_) && ::read(events_, &c, 1) == 1 && c == 'L';
}

ForeignPeer::~ForeignPeer() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (events_ >= 0) ::close(events_);
}

}  // namespace vemlo::test
