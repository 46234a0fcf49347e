#include "leversync/KimiHookDebugLog.h"

#include "platform/Files.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace vemlo::KimiHookDebugLog {
namespace {

constexpr const char* kFileName = "kimi-hook-debug.log";

void writeStderr(std::string_view text) { (void)files::writeAll(STDERR_FILENO, text); }

using files::errorText;

// Empty when the working directory is gone or its path does not fit.
std::string currentDirectory() {
    std::vector<char> buf(PATH_MAX + 1);
    if (::getcwd(buf.data(), buf.size()) == nullptr) return {};
    return buf.data();
}

std::string isoTimestampUtc() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    if (::gmtime_r(&now, &utc) == nullptr) return {};
    char out[32];
    const size_t n = std::strftime(out, sizeof out, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return std::string(out, n);
}

}  // namespace

std::string logFilePath() {
    const std::string cwd = currentDirectory();
    return files::join(cwd.empty() ? files::homeDirectory() : cwd, kFileName);
}

void append(std::string_view event, const Json& details) {
    const std::string cwd = currentDirectory();
    std::string line;
    if (details.is_object() || details.is_null()) {
        Json record = Json::object();
        record["ts"] = isoTimestampUtc();
        record["event"] = std::string(event);
        record["pid"] = static_cast<int64_t>(::getpid());
        record["cwd"] = cwd.empty() ? Json(nullptr) : Json(cwd);
        if (details.is_object()) {
            for (const auto& [key, value] : details.items()) record[key] = value;
        }
        line = json::dumpCompact(record);
    }
    if (line.empty()) {
        writeStderr("[tesk-kimi] debug log JSON encode failed event=" + std::string(event) + "\n");
        return;
    }
    line += '\n';

    const std::string folder = cwd.empty() ? files::homeDirectory() : cwd;
    const std::string path = files::join(folder, kFileName);
    int failure = 0;
    if (cwd.empty() && !files::createDirectories(folder)) {
        failure = errno ? errno : ENOENT;
    } else if (files::exists(path)) {
        // O_APPEND puts each whole record at the end even when several hooks write at once.
        const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        if (fd < 0) return;
        ssize_t n;
        do {
            n = ::write(fd, line.data(), line.size());
        } while (n < 0 && errno == EINTR);
        if (n != static_cast<ssize_t>(line.size())) failure = n < 0 ? errno : EIO;
        ::close(fd);
    } else {
        errno = 0;
        if (!files::atomicWrite(path, line)) failure = errno ? errno : EIO;
    }
    if (failure != 0) writeStderr("[tesk-kimi] append log failed " + errorText(failure) + "\n");
}

}  // namespace vemlo::KimiHookDebugLog
