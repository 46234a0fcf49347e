#include "platform/SystemLog.h"

#include <mutex>
#include <string>
#include <syslog.h>

namespace vemlo {

void Syslog::info(std::string_view message) {
    static std::once_flag opened;
    std::call_once(opened, [] { openlog(kIdentifier, LOG_PID, LOG_USER); });
    std::string text(message);
    syslog(LOG_INFO, "%s", text.c_str());
}

}  // namespace vemlo
