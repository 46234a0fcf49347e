#include "platform/Json.h"

#include <cmath>
#include <limits>

namespace vemlo::json {

std::optional<Json> parse(std::string_view text) {
    try {
        Json value = Json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
        if (value.is_discarded()) return std::nullopt;
        return value;
    } catch (...) {  // allocation failure is the only thing left that can throw
        return std::nullopt;
    }
}

std::optional<Json> parseObject(std::string_view text) {
    auto value = parse(text);
    if (!value || !value->is_object()) return std::nullopt;
    return value;
}

std::string dumpCompact(const Json& value) {
    try {
        return value.dump(-1, ' ', false, Json::error_handler_t::replace);
    } catch (...) {
        return {};
    }
}

std::string dumpPrettySorted(const Json& value) {
    try {
        // nlohmann::json keeps object members in a std::map, which sorts them by key.
        nlohmann::json sorted = nlohmann::json::parse(dumpCompact(value), nullptr, false);
        return sorted.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
    } catch (...) {
        return {};
    }
}

std::optional<int64_t> integerMember(const Json& object, std::string_view key) {
    if (!object.is_object()) return std::nullopt;
    auto it = object.find(key);
    if (it == object.end()) return std::nullopt;
    const Json& v = *it;
    if (v.is_number_unsigned()) {
        auto u = v.get<uint64_t>();
        return u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())
                   ? std::numeric_limits<int64_t>::max()
                   : static_cast<int64_t>(u);
    }
    if (v.is_number_integer()) return v.get<int64_t>();
    if (v.is_number_float()) {
        double d = v.get<double>();
        if (!std::isfinite(d) || d != std::trunc(d)) return std::nullopt;
        if (d >= 9.2233720368547758e18) return std::numeric_limits<int64_t>::max();
        if (d <= -9.2233720368547758e18) return std::numeric_limits<int64_t>::min();
        return static_cast<int64_t>(d);
    }
    return std::nullopt;
}

}  // namespace vemlo::json
