#include "platform/SocketPath.h"

#include <cstdlib>

namespace vemlo {

std::string defaultSocketPath() {
    const char* path = std::getenv("VEMLO_SOCKET");
    return path && *path ? path : kDefaultSocketPath;
}

}  // namespace vemlo
