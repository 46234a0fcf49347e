#include "hook/HookSupport.h"

#include "platform/AgentEnvironment.h"
#include "platform/Files.h"
#include "platform/Text.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace vemlo::HookSupport {
namespace {

constexpr size_t kReplyBufferSize = 4096;

// Closes the descriptor on every way out of the request.
struct SocketGuard {
    int fd;
    ~SocketGuard() { ::close(fd); }
};

// SO_RCVTIMEO and SO_SNDTIMEO take whole seconds plus microseconds. A zero value would mean "wait
// for ever", so a time-out that truncates to zero is refused like one that does not fit.
std::optional<timeval> toTimeval(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0 || seconds >= static_cast<double>(std::numeric_limits<int32_t>::max()))
        return std::nullopt;
    timeval tv {};
    tv.tv_sec = static_cast<time_t>(seconds);
    tv.tv_usec = static_cast<suseconds_t>(static_cast<int32_t>((seconds - std::trunc(seconds)) * 1'000'000));
    if (tv.tv_sec == 0 && tv.tv_usec == 0) return std::nullopt;
    return tv;
}

}  // namespace

// ---- request client ----------------------------------------------------------------------------

bool peerIsSameUser(int fd) {
    struct ucred cred {};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof cred) return false;
    return cred.uid == ::geteuid();
}

std::optional<Json> sendJsonRequest(const Json& request, double timeoutSeconds) {
    return sendJsonRequest(request, timeoutSeconds, defaultSocketPath());
}

std::optional<Json> sendJsonRequest(const Json& request, double timeoutSeconds, const std::string& socketPath) {
    const auto timeout = toTimeval(timeoutSeconds);
    if (!timeout) return std::nullopt;
    sockaddr_un addr {};
    if (socketPath.size() >= sizeof addr.sun_path) return std::nullopt;
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, socketPath.data(), socketPath.size());

    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::nullopt;
    SocketGuard guard{fd};
    (void)::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &*timeout, sizeof *timeout);
    (void)::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &*timeout, sizeof *timeout);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) return std::nullopt;
    // Checked before anything is sent: a socket planted by another local user must neither see our
    // requests nor decide our approvals.
    if (!peerIsSameUser(fd)) return std::nullopt;

    std::string line = json::dumpCompact(request);
    if (line.empty()) return std::nullopt;
    line += '\n';
    // MSG_NOSIGNAL as well as the ignored SIGPIPE, so a caller that forgot the latter is still safe.
    if (::send(fd, line.data(), line.size(), MSG_NOSIGNAL) < 0) return std::nullopt;

    // One read: the agent answers with one short line and closes, so anything that needs a second
    // read is not a reply we accept.
    char buffer[kReplyBufferSize] = {};
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) return std::nullopt;
    return json::parseObject(std::string_view(buffer, static_cast<size_t>(n)));
}

// ---- diagnostics -------------------------------------------------------------------------------

namespace {

// Creates `path` holding just `line`, whole or not at all: the line goes to a temporary file that is
// then linked into place. Unlike a rename, a link never replaces the file another hook created in
// the meantime, which took that hook's first line with it. 0 on success, else the errno of the link.
int createWithLine(std::string_view line, const std::string& path) {
    std::string temporary = path + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) return errno;
    const bool written = ::fchmod(fd, 0644) == 0 && writeAll(fd, line);
    ::close(fd);
    const int result = !written ? EIO : ::link(temporary.c_str(), path.c_str()) == 0 ? 0 : errno;
    ::unlink(temporary.c_str());
    return result;
}

}  // namespace

void appendLine(std::string_view line, const std::string& path) {
    if (!text::isValidUtf8(line)) return;
    // A second round when another hook created the file between our open and our link.
    for (int round = 0; round < 2; ++round) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        if (fd >= 0) {
            // One write at the end of the file, so concurrent hooks never interleave within a line.
            (void)!::write(fd, line.data(), line.size());
            ::close(fd);
            return;
        }
        if (errno != ENOENT || createWithLine(line, path) != EEXIST) return;
    }
}

DiagnosticTimestampFormatter::DiagnosticTimestampFormatter() { ::tzset(); }

std::string DiagnosticTimestampFormatter::string(std::time_t time) const {
    std::tm local {};
    if (!::localtime_r(&time, &local)) return {};
    char buffer[64];
    int n = std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d", local.tm_year + 1900,
                          local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

std::string DiagnosticTimestampFormatter::now() const { return string(std::time(nullptr)); }

const DiagnosticTimestampFormatter& diagnosticTimestampFormatter() {
    static const DiagnosticTimestampFormatter formatter;
    return formatter;
}

std::string diagnosticsDirectory() {
    return files::join(files::homeDirectory(), "Library/Application Support/VemloConfig/diagnostics");
}

void appendDiagnosticsRecord(std::string_view fileName, const Json& record) {
    const std::string directory = diagnosticsDirectory();
    (void)files::createDirectories(directory);
    std::string line = json::dumpCompact(record);
    if (line.empty()) return;
    line += '\n';
    appendLine(line, files::join(directory, fileName));
}

}  // namespace vemlo::HookSupport
