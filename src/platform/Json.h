#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vemlo {

// Objects keep their members in insertion order, so a reply or record reads back as it was built,
// and a file's foreign keys keep their places when the agent rewrites it.
using Json = nlohmann::ordered_json;

namespace json {

// The deepest nesting of arrays and objects a text may have. Anything deeper is malformed: it is
// refused before a value is built, so dumping, copying or walking a parsed value never recurses
// further than this.
inline constexpr size_t kMaxNesting = 512;

// Any JSON text, or nothing on a syntax error, invalid UTF-8, nesting deeper than kMaxNesting or a
// NUL byte anywhere (also after the value). Time and memory grow linearly with the text, however
// many members an object has; a repeated key keeps its first place and takes the last value.
// Never throws.
std::optional<Json> parse(std::string_view text);

// A JSON text whose top level is an object, or nothing.
std::optional<Json> parseObject(std::string_view text);

// parseObject, keeping only the top-level members whose key `wanted` accepts: the others are checked
// as parse checks them but never built, so a reader of a few members pays little for a large text.
// With `containersAsNull`, a wanted member whose value is an array or an object is kept as null.
// With `maxValuesPerMember` above 0, a wanted member keeps only its first that many values (its own
// value and the values nested in it, in text order); later elements and members inside it are
// checked but dropped, so a reader that only shows a member's start never builds a huge value.
// With `wantedInside` as well as `containersAsNull`, a wanted member whose value is an object is
// kept as an object holding only the members `wantedInside(member, key)` accepts, their own
// arrays and objects as null. A text whose top level is not an object is refused at its first
// bracket, before anything is built.
using NestedFilter = std::function<bool(std::string_view member, std::string_view key)>;
std::optional<Json> parseObjectMembers(std::string_view text, const std::function<bool(std::string_view)>& wanted,
                                       bool containersAsNull = false, size_t maxValuesPerMember = 0,
                                       const NestedFilter* wantedInside = nullptr);

// Shortens, in place, every string (keys too) longer than `keep` bytes to its first `keep` bytes and
// the rest of the escape or character there, when what goes is valid string content, so
// the text parses exactly when it did before. Reading a long string costs the JSON lexer two copies
// of it, built by doubling: a reader that only shows a string's start need not pay for the rest.
void shortenLongStrings(std::string& text, size_t keep);

// Compact form, members in insertion order. Invalid UTF-8 in strings is replaced, never thrown.
std::string dumpCompact(const Json& value);

// Indented form with every object's keys sorted, for configuration files people read.
std::string dumpPrettySorted(const Json& value);

// A member read as a signed 64-bit integer: JSON integers (unsigned ones above the range saturate)
// and floats with an integral value. Strings, booleans, null, arrays, objects and a missing member
// are absent.
std::optional<int64_t> integerMember(const Json& object, std::string_view key);

}  // namespace json
}  // namespace vemlo
