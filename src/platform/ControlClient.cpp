#include "platform/ControlClient.h"

#include "platform/Files.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>

namespace vemlo::control {
namespace {

// Closes the descriptor on every way out of the exchange.
struct SocketGuard {
    int fd;
    ~SocketGuard() { ::close(fd); }
};

// SO_RCVTIMEO and SO_SNDTIMEO take whole seconds plus microseconds. A zero value would mean "wait
// for ever", so a time-out that truncates to zero is refused like one that does not fit.
std::optional<timeval> toTimeval(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0 || seconds >= static_cast<double>(std::numeric_limits<int32_t>::max()))
        return std::nullopt;
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(seconds);
    tv.tv_usec = static_cast<suseconds_t>(static_cast<int32_t>((seconds - std::trunc(seconds)) * 1'000'000));
    if (tv.tv_sec == 0 && tv.tv_usec == 0) return std::nullopt;
    return tv;
}

std::nullopt_t fail(Failure* failure, std::string reason, std::optional<uid_t> otherUser = std::nullopt) {
    if (failure) *failure = Failure{std::move(reason), otherUser};
    return std::nullopt;
}

// The owner of whatever is at `path`, when it is not us: the likely reason nobody of ours answers.
std::optional<uid_t> foreignOwner(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || st.st_uid == ::geteuid()) return std::nullopt;
    return st.st_uid;
}

std::string seconds(const timeval& tv) {
    const double s = static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", s);
    return buf;
}

}  // namespace

bool peerIsSameUser(int fd, uid_t* peerUid) {
    struct ucred cred {};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof cred) return false;
    if (peerUid) *peerUid = cred.uid;
    return cred.uid == ::geteuid();
}

std::optional<std::string> exchange(const std::string& socketPath, std::string_view request, double timeoutSeconds,
                                    Failure* failure) {
    const auto timeout = toTimeval(timeoutSeconds);
    if (!timeout) return fail(failure, "the time-out is not usable");
    sockaddr_un addr{};
    if (socketPath.size() >= sizeof addr.sun_path) return fail(failure, "the socket path is too long");
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, socketPath.data(), socketPath.size());

    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return fail(failure, "no socket: " + files::errorText(errno));
    SocketGuard guard{fd};
    (void)::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &*timeout, sizeof *timeout);
    (void)::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &*timeout, sizeof *timeout);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        const std::string why = files::errorText(errno);
        const auto owner = foreignOwner(socketPath);
        if (owner) return fail(failure, why + "; it belongs to user id " + std::to_string(*owner), owner);
        return fail(failure, why);
    }
    // Checked before anything is sent: a socket planted by another local user must neither see our
    // requests nor decide our approvals.
    uid_t peer = 0;
    if (!peerIsSameUser(fd, &peer))
        return fail(failure, "it is served by user id " + std::to_string(peer) + ", not by this user", peer);

    // MSG_NOSIGNAL, so a caller that did not ignore SIGPIPE survives an agent that went away.
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) < 0)
        return fail(failure, "the request could not be sent: " + files::errorText(errno));

    // One read: the agent answers with one short line and closes, so anything that needs a second
    // read is not a reply we accept.
    char buffer[kMaxReplyBytes];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return fail(failure, "no reply within " + seconds(*timeout) + " s");
    if (n < 0) return fail(failure, "the reply could not be read: " + files::errorText(errno));
    if (n == 0) return fail(failure, "the agent closed the connection without a reply");
    return std::string(buffer, static_cast<size_t>(n));
}

}  // namespace vemlo::control
