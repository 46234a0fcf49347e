// The agent's first read of a connection: only valid UTF-8 JSON objects with a string "cmd" become
// commands, and a plain state is always one byte written as sign and decimal digits.
#include "FuzzCheck.h"
#include "agent/RequestFraming.h"
#include "platform/Text.h"

#include <cstdint>
#include <string>

using namespace vemlo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const Request request = recognizeRequest(bytes);
    const bool valid = text::isValidUtf8(bytes);

    if (const auto* command = std::get_if<CommandRequest>(&request)) {
        FUZZ_CHECK(valid);
        FUZZ_CHECK(command->object.is_object());
        const auto it = command->object.find("cmd");
        FUZZ_CHECK(it != command->object.end() && it->is_string() && it->get<std::string>() == command->cmd);
    }
    if (const auto* plain = std::get_if<PlainStateRequest>(&request)) {
        FUZZ_CHECK(valid);
        // The digits, sign and blanks removed, name the same number the request carries.
        std::string_view t = text::trimWhitespaceAndNewlines(bytes);
        if (t.front() == '+' || t.front() == '-') t.remove_prefix(1);
        unsigned value = 0;
        for (char c : t) {
            FUZZ_CHECK(c >= '0' && c <= '9');
            value = value * 10 + static_cast<unsigned>(c - '0');
            FUZZ_CHECK(value <= 255);
        }
        FUZZ_CHECK(value == plain->value);
    }
    if (!valid) FUZZ_CHECK(std::holds_alternative<std::monostate>(request));

    // The same bytes as the value of "cmd" always make a command carrying them unchanged.
    if (valid) {
        const Json wrapped{{"cmd", std::string(bytes)}};
        const std::string line = json::dumpCompact(wrapped);
        const Request again = recognizeRequest(line);
        const auto* command = std::get_if<CommandRequest>(&again);
        FUZZ_CHECK(command && command->cmd == bytes);
    }
    return 0;
}
