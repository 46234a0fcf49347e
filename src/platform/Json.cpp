#include "platform/Json.h"

#include "platform/Text.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <unordered_set>
#include <vector>

namespace vemlo::json {
namespace {

// A string-aware count of open brackets, before any value is built: a text nested deeper than
// kMaxNesting, or holding a NUL byte anywhere (never valid JSON, though the lexer would take it for
// the end of the text), is refused here so that nothing later walks a deep tree.
bool withinBounds(std::string_view text) {
    size_t depth = 0;
    bool inString = false;
    for (size_t at = 0; at < text.size(); ++at) {
        const char c = text[at];
        if (c == '\0') return false;
        if (inString) {
            if (c == '\\')
                ++at;  // the escaped character cannot close the string
            else if (c == '"')
                inString = false;
            continue;
        }
        switch (c) {
        case '"':
            inString = true;
            break;
        case '[':
        case '{':
            if (++depth > kMaxNesting) return false;
            break;
        case ']':
        case '}':
            if (depth > 0) --depth;
            break;
        default:
            break;
        }
    }
    return true;
}

// Builds the tree from parser events. nlohmann's own builder inserts every member through the
// ordered map's linear search for the key, which makes an object of n members cost n² compares;
// here a member is appended and duplicates are found through a hash index over the object's keys,
// built once the object is no longer small. A repeated key keeps its first place and takes the
// last value, as nlohmann's builder does.
class TreeBuilder {
public:
    Json result;

    // With `wanted`, members of a top-level object whose key it refuses are checked but not built.
    // With `containersAsNull` as well, a wanted member whose value is an array or object is checked
    // but kept as null.
    // With `maxValuesPerMember` (0: no bound), a wanted member keeps its first values that many (the
    // member's own value, then the scalars and containers inside it, in text order); the rest is
    // checked but not built.
    // With `wantedInside` (and `containersAsNull`), an object under a wanted member is opened and
    // keeps only the keys it accepts; containers inside it are kept as null.
    explicit TreeBuilder(const std::function<bool(std::string_view)>* wanted = nullptr, bool containersAsNull = false,
                         size_t maxValuesPerMember = 0, const NestedFilter* wantedInside = nullptr)
        : wanted_(wanted),
          wantedInside_(wantedInside),
          containersAsNull_(containersAsNull),
          maxValuesPerMember_(maxValuesPerMember) {}

    bool null() { return skipped(false) || put(Json(nullptr)); }
    bool boolean(bool value) { return skipped(false) || put(Json(value)); }
    bool number_integer(Json::number_integer_t value) { return skipped(false) || put(Json(value)); }
    bool number_unsigned(Json::number_unsigned_t value) { return skipped(false) || put(Json(value)); }
    bool number_float(Json::number_float_t value, const Json::string_t&) { return skipped(false) || put(Json(value)); }
    bool string(Json::string_t& value) { return skipped(false) || put(Json(std::move(value))); }
    bool binary(Json::binary_t&) { return false; }
    bool start_object(std::size_t) {
        return opensSkipped() || opensAsNull(true) || opensOverBudget() || open(Json::object());
    }
    bool start_array(std::size_t) {
        // A reader of an object's members has nothing to read in an array: stop before building it.
        if (wanted_ && open_.empty()) return false;
        return opensSkipped() || opensAsNull(false) || opensOverBudget() || open(Json::array());
    }
    bool end_object() { return skipped(true) || close(); }
    bool end_array() { return skipped(true) || close(); }
    bool key(Json::string_t& name) {
        if (skipping_) return true;
        if (wanted_ && open_.size() == 1 && !(*wanted_)(name)) {
            skipping_ = true;
            skipDepth_ = 0;
            return true;
        }
        if (wantedInside_ && open_.size() == 2 && !(*wantedInside_)(member_, name)) {
            skipping_ = true;
            skipDepth_ = 0;
            return true;
        }
        if (open_.size() == 1) {
            valuesInMember_ = 0;
            if (wantedInside_) member_ = name;
        }
        key_ = std::move(name);
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) { return false; }

private:
    using Object = Json::object_t;

    // Hashes and compares member positions by the key stored at that position.
    struct KeyAt {
        const Object* object;
        // ordered_map hides the vector's operator[] behind its lookup by key, hence the iterators.
        const std::string& at(size_t index) const { return (object->begin() + static_cast<ptrdiff_t>(index))->first; }
        size_t operator()(size_t index) const { return std::hash<std::string>{}(at(index)); }
        bool operator()(size_t a, size_t b) const { return at(a) == at(b); }
    };
    using Index = std::unordered_set<size_t, KeyAt, KeyAt>;

    struct Open {
        Json* value;
        std::unique_ptr<Index> index;  // only for objects past kSmallObject members
    };
    static constexpr size_t kSmallObject = 16;

    std::vector<Open> open_;
    std::string key_;
    const std::function<bool(std::string_view)>* wanted_;
    const NestedFilter* wantedInside_;
    std::string member_;  // the top-level member being read, for wantedInside_
    bool containersAsNull_;
    size_t maxValuesPerMember_;
    size_t valuesInMember_ = 0;  // values built so far in the current top-level member
    bool skipping_ = false;      // inside a member value that is not built
    size_t skipDepth_ = 0;       // containers open inside that value

    // Whether the event belongs to a value being skipped; a scalar or the last close ends it.
    bool skipped(bool closesContainer) {
        if (!skipping_) return false;
        if (closesContainer) --skipDepth_;
        if (skipDepth_ == 0) skipping_ = false;
        return true;
    }
    bool opensSkipped() {
        if (!skipping_) return false;
        ++skipDepth_;
        return true;
    }
    bool opensAsNull(bool isObject) {
        if (!containersAsNull_ || open_.empty() || !open_[0].value->is_object()) return false;
        // A member's object is opened for wantedInside_; every other container is null.
        if (open_.size() == 1 && wantedInside_ && isObject) return false;
        if (!place(Json(nullptr))) return false;
        skipping_ = true;
        skipDepth_ = 1;
        return true;
    }

    // Whether the member's budget is spent: counts the value about to be built inside a top-level
    // member, and says so once the bound is passed.
    bool overBudget() {
        if (maxValuesPerMember_ == 0 || open_.empty() || !open_[0].value->is_object()) return false;
        return ++valuesInMember_ > maxValuesPerMember_;
    }
    bool opensOverBudget() {
        if (!overBudget()) return false;
        skipping_ = true;
        skipDepth_ = 1;
        return true;
    }

    // Where the value just parsed goes; null when the text's top level is already complete.
    Json* place(Json&& value) {
        if (open_.empty()) {
            result = std::move(value);
            return &result;
        }
        Open& parent = open_.back();
        if (parent.value->is_array()) {
            auto& array = parent.value->get_ref<Json::array_t&>();
            array.push_back(std::move(value));
            return &array.back();
        }
        auto& object = parent.value->get_ref<Object&>();
        if (!parent.index && object.size() < kSmallObject) {
            for (auto& member : object)
                if (member.first == key_) {
                    member.second = std::move(value);
                    return &member.second;
                }
            object.emplace_back(std::move(key_), std::move(value));
            if (object.size() == kSmallObject) {
                parent.index = std::make_unique<Index>(kSmallObject * 2, KeyAt{&object}, KeyAt{&object});
                for (size_t i = 0; i < object.size(); ++i) parent.index->insert(i);
            }
            return &object.back().second;
        }
        object.emplace_back(std::move(key_), std::move(value));
        auto [at, inserted] = parent.index->insert(object.size() - 1);
        if (inserted) return &object.back().second;
        Json& earlier = (object.begin() + static_cast<ptrdiff_t>(*at))->second;
        earlier = std::move(object.back().second);
        object.pop_back();
        return &earlier;
    }

    bool put(Json&& value) { return overBudget() || place(std::move(value)) != nullptr; }

    bool open(Json&& container) {
        if (open_.size() >= kMaxNesting) return false;
        Json* placed = place(std::move(container));
        if (!placed) return false;
        open_.push_back(Open{placed, nullptr});
        return true;
    }

    bool close() {
        if (open_.empty()) return false;
        open_.pop_back();
        return true;
    }
};

int hexValue(std::string_view text, size_t at) {
    if (at + 4 > text.size()) return -1;
    int value = 0;
    for (size_t i = at; i < at + 4; ++i) {
        const char c = text[i];
        const int digit = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
        if (digit < 0) return -1;
        value = value * 16 + digit;
    }
    return value;
}

// Bytes of the string unit at `at`: one byte, an escape, or a \u escape pair of a surrogate pair.
size_t unitLength(std::string_view text, size_t at) {
    if (text[at] != '\\') return 1;
    if (at + 1 >= text.size() || text[at + 1] != 'u') return 2;
    const int high = hexValue(text, at + 2);
    if (high >= 0xD800 && high <= 0xDBFF && at + 7 < text.size() && text[at + 6] == '\\' && text[at + 7] == 'u') {
        const int low = hexValue(text, at + 8);
        if (low >= 0xDC00 && low <= 0xDFFF) return 12;
    }
    return 6;
}

// Whether `part`, whole units of a string's inside, is what the lexer would accept there.
bool validStringContent(std::string_view part) {
    for (size_t at = 0; at < part.size();) {
        const auto c = static_cast<unsigned char>(part[at]);
        if (c < 0x20) return false;
        const size_t length = unitLength(part, at);
        if (at + length > part.size()) return false;
        if (length == 2 && std::string_view("\"\\/bfnrt").find(part[at + 1]) == std::string_view::npos) return false;
        if (length == 6) {
            const int code = hexValue(part, at + 2);
            if (code < 0 || (code >= 0xD800 && code <= 0xDFFF)) return false;
        }
        at += length;
    }
    return text::isValidUtf8(part);
}

}  // namespace

void shortenLongStrings(std::string& text, size_t keep) {
    size_t out = 0, at = 0;
    const size_t size = text.size();
    while (at < size) {
        if (text[at] != '"') {
            text[out++] = text[at++];
            continue;
        }
        const size_t start = at + 1;
        size_t end = start, cut = std::string::npos;
        while (end < size && text[end] != '"') {
            if (cut == std::string::npos && end - start >= keep &&
                (static_cast<unsigned char>(text[end]) & 0xC0) != 0x80)
                cut = end;
            end = std::min(size, end + unitLength(text, end));
        }
        const bool shorten =
            cut != std::string::npos && end < size && validStringContent(std::string_view(text).substr(cut, end - cut));
        const size_t keptEnd = shorten ? cut : end;
        text[out++] = '"';
        for (size_t i = start; i < keptEnd; ++i) text[out++] = text[i];
        at = shorten ? end : keptEnd;  // the closing quote, or where an unterminated string ends
    }
    text.resize(out);
}

std::optional<Json> parse(std::string_view text) {
    if (!withinBounds(text)) return std::nullopt;
    try {
        TreeBuilder builder;
        if (!Json::sax_parse(text.begin(), text.end(), &builder, nlohmann::json::input_format_t::json,
                             /*strict=*/true))
            return std::nullopt;
        return std::move(builder.result);
    } catch (...) {  // allocation failure is the only thing left that can throw
        return std::nullopt;
    }
}

std::optional<Json> parseObjectMembers(std::string_view text, const std::function<bool(std::string_view)>& wanted,
                                       bool containersAsNull, size_t maxValuesPerMember,
                                       const NestedFilter* wantedInside) {
    if (!withinBounds(text)) return std::nullopt;
    try {
        TreeBuilder builder(&wanted, containersAsNull, maxValuesPerMember, containersAsNull ? wantedInside : nullptr);
        if (!Json::sax_parse(text.begin(), text.end(), &builder, nlohmann::json::input_format_t::json,
                             /*strict=*/true) ||
            !builder.result.is_object())
            return std::nullopt;
        return std::move(builder.result);
    } catch (...) {
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
        const std::string compact = dumpCompact(value);
        if (!withinBounds(compact)) return {};
        nlohmann::json sorted = nlohmann::json::parse(compact, nullptr, false);
        if (sorted.is_discarded()) return {};
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
        return u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) ? std::numeric_limits<int64_t>::max()
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
