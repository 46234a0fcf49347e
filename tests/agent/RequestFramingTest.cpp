#include "agent/RequestFraming.h"

#include <gtest/gtest.h>

namespace vemlo {
namespace {

// What recognizeRequest made of the bytes, in one comparable word.
std::string kind(const Request& r) {
    if (auto* c = std::get_if<CommandRequest>(&r)) return "cmd:" + c->cmd;
    if (auto* p = std::get_if<PlainStateRequest>(&r)) return "state:" + std::to_string(p->value);
    return "none";
}

// What is accepted, and refusals the fuzz target's properties would let pass (those it checks are
// its seeds in tests/fuzz_corpus/request_recognition).
TEST(RequestFraming, Recognition) {
    const std::pair<std::string, std::string> cases[] = {
        {"  \t{\"cmd\":\"status\"}\r\n  ", "cmd:status"},
        {"\xE3\x80\x80{\"cmd\":\"status\"}\xC2\x85", "cmd:status"},  // ideographic space, next line
        {"3\n", "state:3"},
        {"+7", "state:7"},
        {"-0", "state:0"},
        {"-00", "state:0"},
        {"007", "state:7"},
        {" 255 ", "state:255"},
        {"-1", "none"},
        {"+", "none"},
        {"-", "none"},
        {"", "none"},
        {" \n\t", "none"},
        {std::string("{\"cmd\":\"status\"}\n\0", 18), "none"},  // a NUL after the value
        {std::string("{\"cmd\":\"status\"}\0{}", 19), "none"},
    };
    for (const auto& [bytes, expected] : cases) EXPECT_EQ(kind(recognizeRequest(bytes)), expected) << bytes;
    auto r = recognizeRequest(R"({"cmd":"state_with_reset","value":300,"extra":[1]})");
    ASSERT_TRUE(std::holds_alternative<CommandRequest>(r));
    EXPECT_EQ(std::get<CommandRequest>(r).object,
              *json::parse(R"({"cmd":"state_with_reset","value":300,"extra":[1]})"));
}

}  // namespace
}  // namespace vemlo
