// That any text gets an answer, the two entry points agree and line numbers stay in the text is
// checked by fuzz/toml_read; here, which answer.
#include "platform/Toml.h"

#include <gtest/gtest.h>

#include <string>

namespace vemlo::toml {
namespace {

TEST(Toml, ParsesTomlAndNothingElse) {
    const std::pair<std::string, bool> cases[] = {
        {"", true},
        {"a = 1\r\n[t]\r\nb = 'x'\r\n", true},
        {"s = \"\"\"\n[not a header]\n\"\"\"\n", true},
        {"a = 1\na = 2\n", false},           // defined twice
        {"hooks = []\n[[hooks]]\n", false},  // a static array cannot be extended
        {"a = \"\xff\"\n", false},           // not UTF-8
        {"[" + std::string(200, 'k') + "]\n", true},
        // Where toml++ 3.3.0 asks whether a character is white space, which it cannot answer for
        // U+00A1..U+0499, U+2DCE..U+31C7 and U+FB26..U+FEFE: after a line-ending backslash, at a line
        // start, after a bare key's characters.
        {"s = \"\"\"a \\\n\u3042\"\"\"\n", true},
        {"s = \"\"\"a \\\n  \u00e9\u0416\"\"\"\n", true},
        {"\u3042 = 1\n", false},
        {"a = 1\n\u00d4 1\n", false},
        {"# \u3000\u30A2\u2E80\n", true},
        {"# \u3042\uE000\n", false},  // private-use characters beside them are declined rather than read wrongly
        {"[a" + std::string(300, '.') + "]\n", false},  // toml++ recurses through every dotted part
    };
    for (const auto& [text, toml] : cases) EXPECT_EQ(parses(text), toml) << text.substr(0, 60);
    EXPECT_EQ(Document("a = 1\nb = \n").error().rfind("line 2: ", 0), 0u) << Document("a = 1\nb = \n").error();
    EXPECT_EQ(Document("x = 1\n[a" + std::string(300, '.') + "]\n").error().rfind("line 2: ", 0), 0u);
}

}  // namespace
}  // namespace vemlo::toml
