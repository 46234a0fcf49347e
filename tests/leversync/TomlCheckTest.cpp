#include "support/TomlCheck.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace vemlo {
namespace {

// The lever-sync tests trust this checker to tell broken edits from good ones, so it must reject
// exactly the mistakes a text edit can make.
struct TomlCase {
    const char* name;
    std::string text;
    bool valid;
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const TomlCase& c, std::ostream* os) { *os << c.name; }

const std::vector<TomlCase> kCases = {
    {"Empty", "", true},
    {"Scalars", "a = \"x\\t\\u00e9\"\nb = 'c:\\\\x'\nc = -1_000\nd = 0x1F\ne = 6.02e23\nf = true\ng = inf\n"
                "h = 1979-05-27T07:32:00Z\ni = 1979-05-27 07:32:00\nj = 07:32:00\n", true},
    {"MultiLineStrings", "a = \"\"\"\nline \\\n   joined\"\"\"\"\nb = '''\nraw \\ \"\"\n'''\n", true},
    {"ArraysAndInlineTables", "a = [\n  1, # one\n  [2, 3],\n]\nb = { x = 1, y.z = \"w\" }\nc = {}\n", true},
    {"TablesAndArrayTables", "[a.b]\nx = 1\n[a]\ny = 2\n[[c]]\nn = 1\n[[c]]\nn = 2\n[c.d]\nm = 3\n", true},
    {"DottedKeysThenSubTable", "[fruit]\napple.color = \"red\"\n[fruit.apple.texture]\nsmooth = true\n", true},
    {"CrLfAndComments", "# top\r\na = 1 # one\r\n\r\n[t] # table\r\n", true},
    {"QuotedKeys", "\"a b\" = 1\n'c.d' = 2\n", true},
    {"DuplicateKey", "a = 1\na = 2\n", false},
    {"DuplicateQuotedKey", "a = 1\n\"a\" = 2\n", false},
    {"TableTwice", "[t]\n[t]\n", false},
    {"KeyThenTableOfSameName", "t = 1\n[t]\n", false},
    {"DottedTableReopened", "[fruit]\napple.color = \"red\"\n[fruit.apple]\n", false},
    {"InlineTableExtended", "t = { a = 1 }\n[t.b]\n", false},
    {"ArrayTableOverStaticArray", "a = [1]\n[[a]]\n", false},
    {"BareCarriageReturn", "a = 1\rb = 2\n", false},
    {"TwoPairsOnOneLine", "a = 1 b = 2\n", false},
    {"BareWord", "approval_policy\n", false},
    {"UnicodeSpaceIsNotBlank", "\u3000a = 1\n", false},
    {"NewlineInBasicString", "a = \"x\ny\"\n", false},
    {"UnclosedArray", "a = [1, 2\n", false},
    {"TrailingCommaInInlineTable", "a = { x = 1, }\n", false},
    {"BadNumber", "a = 01\n", false},
    {"InvalidUtf8", "a = \"\xff\"\n", false},
    {"ControlCharacterInComment", "# \x01\n", false},
};

class TomlCheck : public testing::TestWithParam<TomlCase> {};

TEST_P(TomlCheck, JudgesDocuments) { EXPECT_EQ(test::isValidToml(GetParam().text), GetParam().valid); }

INSTANTIATE_TEST_SUITE_P(Cases, TomlCheck, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<TomlCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vemlo
