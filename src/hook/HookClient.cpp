#include "hook/HookClient.h"

#include <csignal>
#include <unistd.h>

namespace vemlo::HookClient {
namespace {

void writeStderr(const std::string& line) { (void)!::write(STDERR_FILENO, line.data(), line.size()); }

}  // namespace

int run(const std::string& event) {
    std::signal(SIGPIPE, SIG_IGN);
    writeStderr("[vemlo-hook] DEBUG: received event: '" + event + "'\n");
    writeStderr("[vemlo-hook] unknown event: " + event + "\n");
    return 0;
}

}  // namespace vemlo::HookClient
