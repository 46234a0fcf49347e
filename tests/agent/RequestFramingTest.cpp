#include "agent/RequestFraming.h"

#include <gtest/gtest.h>

namespace vemlo {
namespace {

// What is accepted (blanks include the ideographic space and next line), and refusals the fuzz
// target's properties would let pass (those it checks are its seeds).
TEST(RequestFraming, Recognition) {
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"cmd:status", {"  \t{\"cmd\":\"status\"}\r\n  ", "\xE3\x80\x80{\"cmd\":\"status\"}\xC2\x85"}},
        {"state:3", {"3\n"}},
        {"state:7", {"+7", "007"}},
        {"state:0", {"-0", "-00"}},
        {"state:255", {" 255 "}},
        {"none",
         {"-1", "+", "-", "", " \n\t", std::string("{\"cmd\":\"status\"}\n\0", 18),
          std::string("{\"cmd\":\"status\"}\0{}", 19)}}};
    for (const auto& [expected, inputs] : cases) {
        for (const auto& bytes : inputs) {
            const Request r = recognizeRequest(bytes);
            const auto* c = std::get_if<CommandRequest>(&r);
            const auto* p = std::get_if<PlainStateRequest>(&r);
            EXPECT_EQ(c ? "cmd:" + c->cmd : p ? "state:" + std::to_string(p->value) : "none", expected) << bytes;
        }
    }
}

}  // namespace
}  // namespace vemlo
