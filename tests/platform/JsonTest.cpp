#include "platform/Json.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace vemlo {
namespace {

std::string nested(size_t depth, std::string_view inner = "0") {
    return std::string(depth, '[') + std::string(inner) + std::string(depth, ']');
}

std::string wideObject(size_t members, std::string_view repeatedKeyValue = {}) {
    std::string text = "{";
    for (size_t i = 0; i < members; ++i) text += (i ? ",\"k" : "\"k") + std::to_string(i) + "\":" + std::to_string(i);
    if (!repeatedKeyValue.empty()) text += ",\"k3\":" + std::string(repeatedKeyValue);
    return text + "}";
}

// Texts that are refused before any value is built, and their close neighbours that are not.
TEST(JsonParse, HostileTexts) {
    struct Case {
        const char* name;
        std::string text;
        bool parses;
    };
    const std::vector<Case> cases = {
        {"AtTheBound", nested(json::kMaxNesting), true},
        {"PastTheBound", nested(json::kMaxNesting + 1), false},
        {"DeepObjects", std::string(100'000, '{') + std::string(100'000, '}'), false},
        {"DeepAndUnclosed", "{\"tool_input\":{\"data\":" + std::string(100'000, '['), false},
        {"BracketsInsideAStringDoNotCount", "[\"" + std::string(2000, '[') + "\"]", true},
        {"AnEscapedQuoteDoesNotEndTheString", "[\"\\\"" + std::string(2000, '{') + "\"]", true},
        {"AnEscapedBackslashDoes", "[\"\\\\\"," + nested(json::kMaxNesting) + "]", false},
        {"NulAfterTheValue", std::string("{\"switchState\":0}\n\0", 19), false},
        {"NulAloneAfterTheValue", std::string("{}\0", 3), false},
        {"NulBeforeTheValue", std::string("\0{}", 3), false},
        {"TextAfterTheValue", "{} {}", false},
        {"WhiteSpaceAfterTheValue", "{} \n\t\r", true},
        {"InvalidUtf8", "[\"\xff\"]", false},
    };
    for (const Case& c : cases) EXPECT_EQ(json::parse(c.text).has_value(), c.parses) << c.name;
}

TEST(JsonParse, WideObjectsKeepOrderAndTheLastOfARepeatedKey) {
    for (size_t members : {4u, 15u, 16u, 17u, 5000u}) {
        const auto value = json::parseObject(wideObject(members, "\"last\""));
        ASSERT_TRUE(value) << members;
        ASSERT_EQ(value->size(), members) << members;
        size_t i = 0;
        for (const auto& [key, v] : value->items()) {
            EXPECT_EQ(key, "k" + std::to_string(i)) << members;
            if (i == 3)
                EXPECT_EQ(v, "last") << "a repeated key keeps its first place and takes the last value";
            else
                EXPECT_EQ(v, i) << members;
            ++i;
        }
    }
    // Repeats inside nested objects are resolved per object.
    EXPECT_EQ(json::dumpCompact(*json::parse(R"({"a":{"x":1,"x":2},"b":[{"x":3,"y":0,"x":4}],"a":{"z":5}})")),
              R"({"a":{"z":5},"b":[{"x":4,"y":0}]})");
}

TEST(JsonParse, MembersAreBuiltOnlyWhenWantedButAllAreChecked) {
    const auto wanted = [](std::string_view key) { return key == "a" || key == "c"; };
    struct Case {
        const char* name;
        std::string text;
        std::optional<std::string> kept;  // compact JSON of what is kept, or absent when refused
    };
    const std::vector<Case> cases = {
        {"KeepsWantedInPlace", R"({"c":[1,{"a":2}],"b":{"a":[3,{"x":[]}]},"a":"x"})", R"({"c":[1,{"a":2}],"a":"x"})"},
        {"RepeatedWantedKeyTakesTheLastValue", R"({"a":1,"b":2,"a":{"z":3}})", R"({"a":{"z":3}})"},
        {"SkippedScalarsAndEmptyContainers", R"({"b":1,"d":[],"e":{},"f":null,"c":true})", R"({"c":true})"},
        {"NothingWanted", R"({"b":[[[]]]})", "{}"},
        {"ASkippedMemberMustStillBeValid", R"({"a":1,"b":[1,}"})", std::nullopt},
        {"ASkippedMemberMayNotHideANul", std::string("{\"a\":1,\"b\":\"\0\"}", 15), std::nullopt},
        {"TooDeepInASkippedMember", "{\"b\":" + nested(json::kMaxNesting) + "}", std::nullopt},
        {"NotAnObject", "[1]", std::nullopt},
    };
    for (const Case& c : cases) {
        const auto kept = json::parseObjectMembers(c.text, wanted);
        EXPECT_EQ(kept ? std::optional(json::dumpCompact(*kept)) : std::nullopt, c.kept) << c.name;
    }
    // Containers of wanted members kept as null, a later repeat included.
    EXPECT_EQ(json::dumpCompact(*json::parseObjectMembers(R"({"a":"s","c":[{"a":1}],"b":[],"a":{"x":[2]}})", wanted,
                                                          /*containersAsNull=*/true)),
              R"({"a":null,"c":null})");
    // A bound on each wanted member's values: the first ones in text order, nesting included; the
    // rest is still checked, and each member has a bound of its own.
    const struct {
        const char* name;
        std::string text;
        std::optional<std::string> kept;
    } bounded[] = {
        {"ScalarsAndShortContainersWhole", R"({"a":1,"c":[1,2]})", R"({"a":1,"c":[1,2]})"},
        {"LongArrayCut", R"({"a":[1,2,3,4,5]})", R"({"a":[1,2]})"},
        {"NestedValuesCount", R"({"a":{"x":[1,2],"y":3},"b":[9],"c":[[1],[2]]})", R"({"a":{"x":[1]},"c":[[1]]})"},
        {"CutPartMustStillBeValid", R"({"a":[1,2,3,}]})", std::nullopt},
        {"CutPartMayNotHideANul", std::string("{\"a\":[1,2,\"\0\"]}", 15), std::nullopt},
    };
    for (const auto& c : bounded) {
        const auto kept = json::parseObjectMembers(c.text, wanted, /*containersAsNull=*/false, 3);
        EXPECT_EQ(kept ? std::optional(json::dumpCompact(*kept)) : std::nullopt, c.kept) << c.name;
    }
}

}  // namespace
}  // namespace vemlo
