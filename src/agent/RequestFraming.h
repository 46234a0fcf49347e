#pragma once

#include "platform/Json.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace vemlo {

// The largest request the agent looks at: the bytes of one read of at most this size.
inline constexpr size_t kMaxRequestBytes = 1024;

// {"cmd": "<string>", ...}: the whole object goes to the command set.
struct CommandRequest {
    std::string cmd;
    Json object;
};

// A bare decimal 0 ... 255 with an optional sign: set that LED state, no reply.
struct PlainStateRequest {
    uint8_t value = 0;
};

using Request = std::variant<std::monostate, CommandRequest, PlainStateRequest>;

// Recognises one request from the bytes of the connection's first read. Invalid UTF-8, anything
// that is neither a command object nor a plain state number, and an empty text are monostate.
Request recognizeRequest(std::string_view bytes);

// "+7" -> 7, "-0" -> 0; digits only after the sign, nothing above 255.
std::optional<uint8_t> parsePlainState(std::string_view text);

}  // namespace vemlo
