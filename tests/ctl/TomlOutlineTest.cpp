#include "ctl/TomlOutline.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace vemlo::ctl {
namespace {

// The outline decides whether a Kimi config.toml may be edited at all and where its statements
// are, so it must follow every construct that can hide a line that looks like a statement, and
// refuse the damage a text edit or a person can leave behind.
struct Case {
    const char* name;
    std::string text;
    bool ok;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

const std::vector<Case> kCases = {
    {"Empty", "", true},
    {"CommentsAndBlankLines", "# a\n\n  # b [[hooks]]\n", true},
    {"KimiDefaults", "default_model = \"\"\ndefault_yolo = false\nhooks = []\n\n[loop_control]\nmax_steps = 100\n",
     true},
    {"QuotedAndDottedKeys", "[models.\"kimi-for-coding\"]\nprovider = 'managed:kimi'\na.b . c = 1\n", true},
    {"ArraysOverLines", "a = [\n  1, # one\n  [2, 3],\n  \"]\",\n]\n", true},
    {"InlineTable", "a = { x = 1, y = \"}\" }\n", true},
    {"MultiLineStringHidingAHeader", "a = \"\"\"\n[[hooks]]\nx = 1\n\"\"\"\n", true},
    {"MultiLineStringWithExtraQuotes", "a = \"\"\"x\"\"\"\"\"\nb = '''y'''''\n", true},
    {"LineEndingBackslash", "a = \"\"\"one \\\n   two\"\"\"\n", true},
    {"CrLf", "a = 1\r\n[t]\r\nb = 2\r\n", true},
    {"DatesAndNumbers", "a = 1979-05-27 07:32:00\nb = -1_000\nc = +inf\nd = 0x1F\ne = 6.02e23\n", true},
    {"UnicodeEscape", "a = \"\\u00e9\\U0001F600\"\n", true},
    {"NoFinalNewline", "a = 1", true},
    {"UnterminatedString", "a = \"x\n", false},
    {"UnterminatedMultiLineString", "a = '''\nnever closed\n", false},
    {"UnterminatedArray", "a = [1, 2\n", false},
    {"TrailingCommaInInlineTable", "a = { x = 1, }\n", false},
    {"BareCarriageReturn", "a = 1\rb = 2\n", false},
    {"TwoStatementsOnOneLine", "a = 1 b = 2\n", false},
    {"BareWord", "hooks\n", false},
    {"UnquotedString", "a = hello\n", false},
    {"BadEscape", "a = \"\\q\"\n", false},
    {"ControlCharacterInComment", "# \x01\n", false},
    {"InvalidUtf8", "a = \"\xff\"\n", false},
    {"UnclosedHeader", "[t\n", false},
    {"UnicodeSpaceBeforeKey", "\u3000a = 1\n", false},
};

class Validity : public testing::TestWithParam<Case> {};

TEST_P(Validity, AcceptsTomlAndRefusesDamage) {
    const Case& c = GetParam();
    TomlOutline outline = outlineToml(c.text);
    EXPECT_EQ(outline.ok, c.ok) << outline.error;
    if (!c.ok) {
        EXPECT_FALSE(outline.error.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, Validity, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(TomlOutline, ReportsStatementsWithTheirLinesAndStringValues) {
    const std::string text = "# top\n"
                             "hooks = [ ]\n"
                             "note = \"\"\"\n"
                             "two\n"
                             "\"\"\"\n"
                             "[[hooks]] # ours?\n"
                             "event = \"Stop\"\n"
                             "command = 'C:\\x'\n"
                             "[models.\"k2.5\"]\n";
    TomlOutline o = outlineToml(text);
    ASSERT_TRUE(o.ok) << o.error;
    using K = TomlStatement::Kind;
    ASSERT_EQ(o.statements.size(), 6u);
    const struct {
        K kind;
        std::vector<std::string> key;
        size_t first, last;
        std::optional<std::string> string;
    } expected[] = {
        {K::keyValue, {"hooks"}, 1, 1, std::nullopt},       {K::keyValue, {"note"}, 2, 4, std::nullopt},
        {K::arrayTable, {"hooks"}, 5, 5, std::nullopt},     {K::keyValue, {"event"}, 6, 6, "Stop"},
        {K::keyValue, {"command"}, 7, 7, "C:\\x"},          {K::table, {"models", "k2.5"}, 8, 8, std::nullopt},
    };
    for (size_t i = 0; i < 6; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(o.statements[i].kind, expected[i].kind);
        EXPECT_EQ(o.statements[i].key, expected[i].key);
        EXPECT_EQ(o.statements[i].firstLine, expected[i].first);
        EXPECT_EQ(o.statements[i].lastLine, expected[i].last);
        EXPECT_EQ(o.statements[i].stringValue, expected[i].string);
    }
    EXPECT_EQ(o.statements[0].value, "[ ]");
}

TEST(TomlOutline, NamesTheLineOfTheFault) {
    EXPECT_EQ(outlineToml("a = 1\nb = [\n1,\n").error, "line 2: unterminated array");
    EXPECT_EQ(outlineToml("a = 1\n\nb = \"x\n").error, "line 3: unterminated string");
    EXPECT_EQ(outlineToml("a = '''\n\n").error, "line 1: unterminated multi-line string");
}

}  // namespace
}  // namespace vemlo::ctl
