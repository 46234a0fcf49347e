// That any text gets an answer, the two entry points agree and line numbers stay in the text is
// checked by fuzz/toml_read; here, which answer.
#include "platform/Toml.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vemlo::toml {
namespace {

TEST(Toml, ParsesTomlAndNothingElse) {
    std::string deep = "a";
    for (int i = 0; i < 5000; ++i) deep += ".a";
    const std::pair<std::string, bool> cases[] = {
        {"", true},
        {"a = 1\r\n[t]\r\nb = 'x'\r\n", true},
        {"s = \"\"\"\n[not a header]\n\"\"\"\n", true},
        {"a = 1\na = 2\n", false},           // defined twice
        {"hooks = []\n[[hooks]]\n", false},  // a static array cannot be extended
        {"a = \"open\n", false},
        {"a = 1\rb = 2\n", false},  // a bare carriage return
        {"a = \"\xff\"\n", false},  // not UTF-8
        {"a = \"x\" b = 2\n", false},
        {"[" + std::string(200, 'k') + "]\n", true},
        // Where toml++ 3.3.0 asks whether a character is white space, which it cannot answer for
        // U+00A1..U+0499, U+2DCE..U+31C7 and U+FB26..U+FEFE: after a line-ending backslash, at a line
        // start, after a bare key's characters.
        {"s = \"\"\"a \\\n\u3042\"\"\"\n", true},
        {"s = \"\"\"a \\\n  \u00e9\u0416\"\"\"\n", true},
        {"\u3042 = 1\n", false},
        {"a = 1\n\u00d4 1\n", false},
        {"a\uFCBF = 1\n", false},
        {"# \u3000\u30A2\u2E80\n", true},
        {"# \u3042\uE000\n", false},  // private-use characters beside them are declined rather than read wrongly
        // Every dotted part is a table toml++ recurses through; the reader declines long before.
        {"[a" + std::string(300, '.') + "]\n", false},
        {"[" + deep + "]\n", false},
    };
    for (const auto& [text, toml] : cases) EXPECT_EQ(parses(text), toml) << text.substr(0, 60);
    EXPECT_EQ(Document("a = 1\nb = \n").error().rfind("line 2: ", 0), 0u) << Document("a = 1\nb = \n").error();
    EXPECT_EQ(Document("x = 1\n[a" + std::string(300, '.') + "]\n").error().rfind("line 2: ", 0), 0u);
}

TEST(Toml, HeaderLinesAreTheHeadersOnly) {
    const Document doc(
        "a.b = 1\n"             // 0: a dotted key makes a table, no header
        "s = '''\n[x]\n'''\n"   // 1-3: a header-like line inside a string
        "arr = [\n  [1],\n]\n"  // 4-6: and inside an array
        "  [t.u]  # comment\n"  // 7: makes t implicitly
        "v = { w.z = 1 }\n"     // 8
        "[t]\n"                 // 9: t declared after all
        "[[h]]\n"               // 10
        "k.l = 2\n"             // 11
        "[h.sub]\n"             // 12
        "[[h]]\r\n");           // 13
    ASSERT_TRUE(doc.ok()) << doc.error();
    EXPECT_EQ(doc.headerLines(), (std::vector<size_t>{7, 9, 10, 12, 13}));
}

TEST(Toml, TopLevelKeysByShape) {
    const Document doc(
        "empty = []\nspread = [\n]\ninline = [{ e = 1 }]\ndotted.x = 1\n[table.sub]\n"
        "[[hooks]]\nevent = \"Stop\"\ncommand = 'say done'\ntimeout = 10\nn.event = \"nested, not its "
        "own\"\n[[hooks]]\n");
    ASSERT_TRUE(doc.ok()) << doc.error();
    using K = TopLevel::Kind;
    const struct {
        const char* key;
        K kind;
        size_t firstLine, lastLine;
        bool emptyArray;
    } cases[] = {
        {"missing", K::absent, 0, 0, false},     {"empty", K::value, 0, 0, true},
        {"spread", K::value, 1, 2, true},        {"inline", K::value, 3, 3, false},
        {"dotted", K::dottedTable, 4, 4, false}, {"table", K::headerTable, 5, 5, false},
    };
    for (const auto& c : cases) {
        const TopLevel t = doc.topLevel(c.key);
        EXPECT_EQ(t.kind, c.kind) << c.key;
        if (c.kind == K::absent) continue;
        EXPECT_EQ(t.firstLine, c.firstLine) << c.key;
        EXPECT_EQ(t.lastLine, c.lastLine) << c.key;
        EXPECT_EQ(t.emptyArray, c.emptyArray) << c.key;
    }
    const TopLevel hooks = doc.topLevel("hooks");
    ASSERT_EQ(hooks.kind, K::arrayOfTables);
    ASSERT_EQ(hooks.tables.size(), 2u);
    EXPECT_EQ(hooks.tables[0].headerLine, 6u);
    EXPECT_EQ(hooks.tables[0].strings,
              (std::map<std::string, std::string, std::less<>>{{"command", "say done"}, {"event", "Stop"}}));
    EXPECT_EQ(hooks.tables[1].headerLine, 11u);
    EXPECT_TRUE(hooks.tables[1].strings.empty());
    EXPECT_EQ(Document("a = ").topLevel("a").kind, K::absent);
    const Document kana("[[hooks]]\n\"\u00e9\" = \"/home/\u3042\u30FC/x \u3000\u00e9\u0416\"\n");
    ASSERT_TRUE(kana.ok()) << kana.error();
    EXPECT_EQ(kana.topLevel("hooks").tables.at(0).strings.at("\u00e9"), "/home/\u3042\u30FC/x \u3000\u00e9\u0416");
}

}  // namespace
}  // namespace vemlo::toml
