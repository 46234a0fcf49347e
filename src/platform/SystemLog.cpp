#include "platform/SystemLog.h"

#include <sys/stat.h>
#include <syslog.h>
#include <chrono>
#include <mutex>
#include <string>

namespace vemlo {
namespace {

// Without a log daemon glibc's syslog() opens, fails to connect and closes a socket on every call.
// The agent logs on every request, so it looks for the daemon's socket now and then instead.
bool logDaemonPresent() {
    using Clock = std::chrono::steady_clock;
    static Clock::time_point nextCheck{};
    static bool present = false;
    const auto now = Clock::now();
    if (now >= nextCheck) {
        struct stat st {};
        present = ::stat("/dev/log", &st) == 0;
        nextCheck = now + std::chrono::seconds(present ? 60 : 5);
    }
    return present;
}

}  // namespace

void Syslog::info(std::string_view message) {
    static std::once_flag opened;
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    if (!logDaemonPresent()) return;
    std::call_once(opened, [] { openlog(kIdentifier, LOG_PID, LOG_USER); });
    std::string text(message);
    syslog(LOG_INFO, "%s", text.c_str());
}

}  // namespace vemlo
