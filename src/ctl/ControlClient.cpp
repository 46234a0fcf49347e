#include "ctl/ControlClient.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace vemlo::ctl {

std::optional<Json> controlRequest(const std::string& socketPath, const Json& request,
                                   std::chrono::milliseconds timeout, std::string& error) {
    sockaddr_un addr {};
    if (socketPath.size() >= sizeof addr.sun_path) {
        error = "the socket path is too long";
        return std::nullopt;
    }
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::strerror(errno);
        return std::nullopt;
    }
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, socketPath.c_str(), socketPath.size());
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        error = std::strerror(errno);
        ::close(fd);
        return std::nullopt;
    }
    // The agent reads a request with a single read, so it goes out in a single write.
    const std::string bytes = json::dumpCompact(request) + "\n";
    if (::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size())) {
        error = "the request could not be sent";
        ::close(fd);
        return std::nullopt;
    }
    std::string reply;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        int ready = left.count() > 0 ? ::poll(&p, 1, static_cast<int>(left.count())) : 0;
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) {
            error = "no reply within " + std::to_string(timeout.count() / 1000) + " s";
            ::close(fd);
            return std::nullopt;
        }
        char buf[4096];
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        reply.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    auto object = json::parseObject(reply);
    if (!object)
        error = reply.empty() ? "the agent closed the connection without a reply" : "the reply is not a JSON object";
    return object;
}

}  // namespace vemlo::ctl
