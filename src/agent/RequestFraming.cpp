#include "agent/RequestFraming.h"

#include "platform/Text.h"

namespace vemlo {

std::optional<uint8_t> parsePlainState(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
        if (value > 255) return std::nullopt;
    }
    if (negative && value != 0) return std::nullopt;
    return static_cast<uint8_t>(value);
}

Request recognizeRequest(std::string_view bytes) {
    if (!text::isValidUtf8(bytes)) return std::monostate{};
    std::string_view trimmed = text::trimWhitespaceAndNewlines(bytes);
    if (auto object = json::parseObject(trimmed)) {
        auto it = object->find("cmd");
        if (it != object->end() && it->is_string()) {
            std::string cmd = it->get<std::string>();
            return CommandRequest{std::move(cmd), std::move(*object)};
        }
    }
    if (auto value = parsePlainState(trimmed)) return PlainStateRequest{*value};
    return std::monostate{};
}

}  // namespace vemlo
