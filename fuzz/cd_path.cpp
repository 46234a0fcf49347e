// The folder a shell command enters, read for Cursor's debug log: always a piece of the command
// itself, never across a command separator, and only for commands that begin with "cd ".
#include "FuzzCheck.h"
#include "hook/CursorHookDebug.h"
#include "platform/Text.h"

#include <cstdint>
#include <string>

using namespace vemlo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string command(reinterpret_cast<const char*>(data), size);
    const std::optional<std::string> path = HookSupport::inferredCdPathFromShellCommand(command);
    FUZZ_CHECK(!HookSupport::inferredCdPathFromShellCommand(std::nullopt));
    if (!path) return 0;
    FUZZ_CHECK(text::trimWhitespaceAndNewlines(command).starts_with("cd "));
    FUZZ_CHECK(command.find(*path) != std::string::npos);
    FUZZ_CHECK(path->find(" && ") == std::string::npos);
    FUZZ_CHECK(path->find(';') == std::string::npos && path->find('|') == std::string::npos);
    // The text after "cd " comes first in what is left, so the path is found there.
    const size_t cd = command.find("cd ");
    FUZZ_CHECK(command.find(*path, cd + 3) != std::string::npos);
    return 0;
}
