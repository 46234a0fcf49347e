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

TEST(RequestFraming, Recognition) {
    struct Case {
        std::string bytes;
        std::string expected;
    };
    const Case cases[] = {
        {"{\"cmd\":\"state\",\"value\":3}\n", "cmd:state"},
        {"  \t{\"cmd\":\"status\"}\r\n  ", "cmd:status"},
        {"\xE3\x80\x80{\"cmd\":\"status\"}\xC2\x85", "cmd:status"},  // ideographic space, next line
        {"{\"cmd\":\"STATE\"}", "cmd:STATE"},
        {"{\"cmd\":\"\"}", "cmd:"},
        {"3", "state:3"},
        {"3\n", "state:3"},
        {"+7", "state:7"},
        {"-0", "state:0"},
        {"-00", "state:0"},
        {"007", "state:7"},
        {"255", "state:255"},
        {" 12 ", "state:12"},
        {"256", "none"},
        {"300", "none"},
        {"-1", "none"},
        {"+", "none"},
        {"-", "none"},
        {"+-3", "none"},
        {"3 4", "none"},
        {"0x10", "none"},
        {"abc", "none"},
        {"", "none"},
        {" \n\t", "none"},
        {"[1,2]", "none"},
        {"[\"cmd\",\"state\"]", "none"},
        {"{\"cmd\":5}", "none"},
        {"{\"cmd\":null}", "none"},
        {"{\"value\":3}", "none"},
        {"{\"cmd\":\"state\"", "none"},
        {"\"3\"", "none"},
        {"\xFF\xFE"
         "3",
         "none"},
        {"{\"cmd\":\"st\xC3\"}", "none"},                       // a cut multi-byte character
        {"３", "none"},                                         // a full-width digit is not an ASCII digit
        {std::string("{\"cmd\":\"status\"}\n\0", 18), "none"},  // a NUL after the value
        {std::string("{\"cmd\":\"status\"}\0{}", 19), "none"},
        {std::string(600, '[') + std::string(600, ']'), "none"},  // nested past the bound
    };
    for (const auto& c : cases) {
        EXPECT_EQ(kind(recognizeRequest(c.bytes)), c.expected) << "request: " << c.bytes;
    }
}

TEST(RequestFraming, CommandCarriesTheWholeObject) {
    auto r = recognizeRequest(R"({"cmd":"state_with_reset","value":300,"extra":[1]})");
    auto* c = std::get_if<CommandRequest>(&r);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->object.at("value"), 300);
    EXPECT_EQ(c->object.at("extra"), Json::array({1}));
}

// The server hands over at most one read of this size; a longer object arrives cut and is refused.
TEST(RequestFraming, CutObjectIsRefused) {
    std::string request = R"({"cmd":"state","pad":")" + std::string(2000, 'x') + R"("})";
    EXPECT_EQ(kind(recognizeRequest(std::string_view(request).substr(0, kMaxRequestBytes))), "none");
}

}  // namespace
}  // namespace vemlo
