// That any text gets an answer, the two entry points agree and line numbers stay in the text is
// checked by fuzz/toml_read; here, which answer.
#include "platform/Toml.h"

#include <gtest/gtest.h>
#include <unicode/utf8.h>

#include <string>

namespace vemlo::toml {
namespace {

std::string utf8(char32_t c) {
    char bytes[U8_MAX_LENGTH];
    int32_t length = 0;
    U8_APPEND_UNSAFE(bytes, length, c);
    return std::string(bytes, static_cast<size_t>(length));
}

// TOML 1.0 treats every code point above U+007F alike: a character of strings and comments, kept
// as it is (a line-ending backslash trims spaces, tabs and line ends only), and an error anywhere
// else. Each one is tried in every such place, among a Powerline character and the private-use
// code points a reader might borrow, in the sanitizer build: toml++ 3.3.0 has undefined behaviour
// for some of them. Strings and comments take a run of code points per document.
TEST(TomlCodePoints, EveryCodePointReadsAsTomlSaysInEveryPlace) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "no threads here; the AddressSanitizer and UBSan build runs it";
#endif
    constexpr char32_t kRun = 2048;
    const std::string neighbours = utf8(0xE0A0) + utf8(0xE000) + utf8(0xF0000);
    for (char32_t from = 0x80; from <= 0x10FFFF; from += kRun) {
        std::string run = neighbours;
        std::string afterBackslashes;
        std::string afterBackslashesValue = neighbours;
        for (char32_t c = from; c < from + kRun && c <= 0x10FFFF; ++c) {
            if (c >= 0xD800 && c <= 0xDFFF) continue;
            const std::string cp = utf8(c);
            run += cp;
            afterBackslashes += "\\\n  ";
            afterBackslashes += cp;
            afterBackslashesValue += cp;
            ASSERT_FALSE(parses(cp + " = 1\n")) << std::hex << static_cast<uint32_t>(c);
            ASSERT_FALSE(parses("a" + cp + " = 1\n")) << std::hex << static_cast<uint32_t>(c);
        }
        const std::pair<std::string, std::string> valid[] = {
            {"a = \"" + run + "\"\n", run},
            {"a = '" + run + "'\n", run},
            {"a = \"\"\"\n" + run + "\n\"\"\"\n", run + "\n"},
            {"a = '''\n" + run + "\n'''\n", run + "\n"},
            {"a = \"\"\"" + neighbours + afterBackslashes + "\"\"\"\n", afterBackslashesValue},
            {"# " + run + "\na = \"" + neighbours + "\"\n", neighbours},
            {"[\"" + run + "\"]\na = 1\n[x]\na = \"" + run + "\"\n", run},
        };
        for (const auto& [text, value] : valid) {
            const Document doc(text);
            ASSERT_TRUE(doc.ok()) << std::hex << static_cast<uint32_t>(from) << ": " << doc.error();
            const bool quotedHeader = text[0] == '[';
            ASSERT_EQ(doc.topLevel(run).kind, quotedHeader ? TopLevel::Kind::headerTable : TopLevel::Kind::absent);
            ASSERT_EQ(doc.topLevel(quotedHeader ? "x" : "a").string, quotedHeader ? std::nullopt : std::optional(value))
                << std::hex << static_cast<uint32_t>(from);
        }
    }
}

TEST(Toml, ParsesTomlAndNothingElse) {
    const std::pair<std::string, bool> cases[] = {
        {"", true},
        {"a = 1\r\n[t]\r\nb = 'x'\r\n", true},
        {"s = \"\"\"\n[not a header]\n\"\"\"\n", true},
        {"a = 1\na = 2\n", false},           // defined twice
        {"hooks = []\n[[hooks]]\n", false},  // a static array cannot be extended
        {"a = \"\xff\"\n", false},           // not UTF-8
        {"a = 1\rb = 2\n", false},           // a lone carriage return
        {"\xEF\xBB\xBF" "a = 1\n", true},   // a byte order mark at the start
        {"[" + std::string(200, 'k') + "]\n", true},
        {"[a" + std::string(300, '.') + "]\n", false},  // toml++ recurses through every dotted part
        // Dots in strings and comments are no key parts.
        {"a = \"" + std::string(300, '.') + "\" # " + std::string(300, '.') + "\nb = '" + std::string(300, '.') + "'\n", true},
        {"a = \"\"\"\\\n" + std::string(300, '.') + "\"\"\"\nb = '''" + std::string(300, '.') + "'''\n", true},
        {"a = '.'\n[b" + std::string(300, '.') + "]\n", false},
    };
    for (const auto& [text, toml] : cases) EXPECT_EQ(parses(text), toml) << text.substr(0, 60);
    EXPECT_EQ(Document("a = 1\nb = \n").error().rfind("line 2: ", 0), 0u) << Document("a = 1\nb = \n").error();
    EXPECT_EQ(Document("x = 1\n[a" + std::string(300, '.') + "]\n").error().rfind("line 2: ", 0), 0u);
}

}  // namespace
}  // namespace vemlo::toml
