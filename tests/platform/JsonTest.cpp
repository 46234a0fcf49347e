#include "platform/Json.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace vemlo {
namespace {

std::string nested(size_t depth) { return std::string(depth, '[') + "0" + std::string(depth, ']'); }

std::optional<std::string> compact(const std::optional<Json>& value) {
    return value ? std::optional(json::dumpCompact(*value)) : std::nullopt;
}

// Texts refused, and their close neighbours that are not: brackets inside a string do not count,
// nor does an escaped quote end it; an escaped backslash does.
TEST(JsonParse, HostileTexts) {
    const std::pair<bool, std::vector<std::string>> cases[] = {
        {true,
         {nested(json::kMaxNesting), "[\"" + std::string(2000, '[') + "\"]", "[\"\\\"" + std::string(2000, '{') + "\"]",
          "{} \n\t\r"}},
        {false,
         {"[\"\\\\\"," + nested(json::kMaxNesting) + "]", std::string("{}\0", 3), std::string("\0{}", 3), "{} {}",
          "[\"\xff\"]"}}};
    for (const auto& [parses, texts] : cases)
        for (const auto& text : texts) EXPECT_EQ(json::parse(text).has_value(), parses) << text.substr(0, 30);
    // A repeated key keeps its first place and takes the last value, per object.
    EXPECT_EQ(compact(json::parse(R"({"a":{"x":1,"x":2},"b":[{"x":3,"y":0,"x":4}],"a":{"z":5}})")),
              R"({"a":{"z":5},"b":[{"x":4,"y":0}]})");
}

// Only wanted members are built, optionally containers as null or each cut to a bound of values
// in text order; the rest is still checked, NULs and nesting included.
TEST(JsonParse, MembersAreBuiltOnlyWhenWantedButAllAreChecked) {
    const auto wanted = [](std::string_view key) { return key == "a" || key == "c"; };
    const struct {
        std::string text;
        bool containersAsNull;
        size_t bound;
        std::optional<std::string> kept;
    } cases[] = {{R"({"c":[1,{"a":2}],"b":{"a":[3,{"x":[]}]},"a":"x"})", false, 0, R"({"c":[1,{"a":2}],"a":"x"})"},
                 {R"({"a":1,"b":[1,}"})", false, 0, std::nullopt},
                 {std::string("{\"a\":1,\"b\":\"\0\"}", 15), false, 0, std::nullopt},
                 {"{\"b\":" + nested(json::kMaxNesting) + "}", false, 0, std::nullopt},
                 {R"({"a":"s","c":[{"a":1}],"b":[],"a":{"x":[2]}})", true, 0, R"({"a":null,"c":null})"},
                 {R"({"a":[1,2,3,4,5]})", false, 3, R"({"a":[1,2]})"},
                 {R"({"a":{"x":[1,2],"y":3},"b":[9],"c":[[1],[2]]})", false, 3, R"({"a":{"x":[1]},"c":[[1]]})"},
                 {std::string("{\"a\":[1,2,\"\0\"]}", 15), false, 3, std::nullopt}};
    for (const auto& c : cases) {
        EXPECT_EQ(compact(json::parseObjectMembers(c.text, wanted, c.containersAsNull, c.bound)), c.kept) << c.text;
    }
    // Inside a wanted member's object only the keys asked for, their containers as null.
    const json::NestedFilter inside = [](std::string_view, std::string_view key) { return key == "k"; };
    EXPECT_EQ(compact(json::parseObjectMembers(R"({"a":{"k":"v","x":1},"c":{"k":[1]},"b":{"k":1},"a":{"k":"w"}})",
                                               wanted, true, 0, &inside)),
              R"({"a":{"k":"w"},"c":{"k":null}})");
}

// Long strings lose their ends only where that cannot change whether the text parses.
TEST(JsonShorten, KeepsTheStartOfLongStringsAndTheTextsValidity) {
    const std::pair<std::string, std::string> cases[] = {
        {R"(["abcdefgh","ab"])", R"(["abcd","ab"])"},
        {R"({"abcdefgh":1})", R"({"abcd":1})"},
        {R"(["ab\"cdefgh"])", R"(["ab\""])"},
        {R"(["abc\u00e9xyz"])", R"(["abc\u00e9"])"},
        {"[\"abc\xC3\xA9xyz\"]", "[\"abc\xC3\xA9\"]"},
        {R"(["ab\ud83d\ude00xyz"])", R"(["ab\ud83d\ude00"])"},
        // What would go is not valid inside a string: the text stays as it is, and malformed.
        {"[\"abcdef\x01gh\"]", "[\"abcdef\x01gh\"]"},
        {R"(["abcdef\qg"])", R"(["abcdef\qg"])"},
        {R"(["abcdef\ud800"])", R"(["abcdef\ud800"])"},
        {"[\"abcdef\xff\"]", "[\"abcdef\xff\"]"},
        {R"(["abcdefgh)", R"(["abcdefgh)"},
    };
    for (const auto& [text, shortened] : cases) {
        std::string edited = text;
        json::shortenLongStrings(edited, 4);
        EXPECT_EQ(edited, shortened) << text;
        EXPECT_EQ(json::parse(edited).has_value(), json::parse(text).has_value()) << text;
    }
}

}  // namespace
}  // namespace vemlo
