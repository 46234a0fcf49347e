// The files in which our TOML edits once broke the lever's promise, one row each, checked against
// what an edit must do: read as the input does, except for the one key, which holds its target.
#include "ctl/HookRegistrations.h"
#include "ctl/KimiHookBlock.h"
#include "leversync/CodexConfigLeverSync.h"
#include "leversync/KimiConfigLeverSync.h"
#include "platform/Toml.h"
#include "support/Process.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>

namespace vemlo {
namespace {

const std::string kIcon = "\xee\x82\xa0";  // U+E0A0, a Powerline branch symbol
const std::string kCafe = "caf\xc3\xa9";
const std::string kOnRequest = R"(approval_policy = "on-request")";
const std::string kAuto(KimiConfigLeverSync::kAutoTemplate);
const ctl::Assistant& kimi() { return ctl::assistants().at(3); }
const std::string kAgent = "/usr/bin/vemloconfig-agent";

// The edit's own promise, checked independently of where it put the line.
std::optional<std::string> proven(const std::string& input, const std::optional<std::string>& out,
                                  std::string_view key) {
    if (!out) return out;
    const toml::Document before(input), after(*out);
    EXPECT_TRUE(after.ok()) << after.error();
    EXPECT_TRUE(after.sameExcept(before, key)) << *out;
    return out;
}

std::optional<std::string> codex(const std::string& text) {
    return proven(text, CodexConfigLeverSync::rewrite(text).text, "approval_policy");
}
std::optional<std::string> kimiAuto(const std::string& text) {
    return proven(text, KimiConfigLeverSync::replaceOrInsertDefaultYolo(text, kAuto).text, "default_yolo");
}
// Kimi re-serialises the file with our hooks installed: comments go, data stays. Then status,
// uninstall and a second install must still find our tables, and only ours.
std::optional<std::string> rewrittenByKimiThenReinstalled(const std::string& text) {
    const std::string installed = ctl::KimiHookBlock::install(text, kimi(), kAgent).text;
    const toml::Lines lines(installed);
    std::string rewritten;
    for (size_t i = 0; i < lines.size(); ++i)
        if (!lines.content(i).starts_with("#")) rewritten += std::string(lines.content(i)) + std::string(lines.terminator(i));
    EXPECT_EQ(ctl::KimiHookBlock::registeredEvents(rewritten, kimi()), 7);
    const ctl::KimiHookBlock::Outcome removed = ctl::KimiHookBlock::uninstall(rewritten, kimi());
    EXPECT_EQ(removed.removed, 7);
    EXPECT_EQ(ctl::KimiHookBlock::registeredEvents(removed.text, kimi()), 0);
    const std::string again = ctl::KimiHookBlock::install(rewritten, kimi(), kAgent).text;
    EXPECT_EQ(test::occurrences(again, " hook Kimi"), 7u) << again;
    return removed.text;
}
std::optional<std::string> reads(const std::string& text) {
    return toml::parses(text) ? std::optional<std::string>("reads") : std::nullopt;
}

TEST(TomlEdits, TheFilesThatBrokeTheLever) {
    const std::string instructions = "developer_instructions = \"\"\"\nAnswer in this format:\n[summary]\n\"\"\"\n";
    const std::string project = "\n[projects.\"/home/u/Projets/" + kCafe + "\"]\ntrust_level = \"trusted\"\n";
    const struct {
        const char* what;
        std::function<std::optional<std::string>(const std::string&)> edit;
        std::string input;
        std::optional<std::string> expected;  // nothing: the file is left alone
    } rows[] = {
        {"1: Codex at never with a Powerline icon, a string holding [ and a non-ASCII header", codex,
         "tui_status_icon = \"" + kIcon + "\"\n" + instructions + "approval_policy = \"never\"\n" + project,
         "tui_status_icon = \"" + kIcon + "\"\n" + instructions + kOnRequest + "\n" + project},
        {"1: the key's line inside a string is no key", codex,
         "developer_instructions = \"\"\"\napproval_policy = \"on-request\"\n\"\"\"\napproval_policy = \"never\"\n",
         "developer_instructions = \"\"\"\napproval_policy = \"on-request\"\n\"\"\"\n" + kOnRequest + "\n"},
        {"2: Codex, a nested array that starts a line with [", codex,
         "x = \"" + kIcon + "\u00e9\"\nsandbox_extra = [\n[\"a\"]\n]\n",
         "x = \"" + kIcon + "\u00e9\"\nsandbox_extra = [\n[\"a\"]\n]\n" + kOnRequest + "\n"},
        {"2: Kimi, the key's value closing a multi-line string", kimiAuto,
         "s = \"\"\"\n" + kIcon + "\u00e9\ndefault_yolo = false\"\"\"\ndefault_yolo = false\n",
         "s = \"\"\"\n" + kIcon + "\u00e9\ndefault_yolo = false\"\"\"\n" + kAuto + "\n"},
        {"3: Kimi, the key under a table and in a string, no final line feed", kimiAuto,
         "default_yolo = false # mine\n[ui]\ndefault_yolo = false\nnote = '''\ndefault_yolo = 1\n'''",
         kAuto + "\n[ui]\ndefault_yolo = false\nnote = '''\ndefault_yolo = 1\n'''"},
        {"4: Codex, CR LF kept, in multi-line strings too", codex,
         "s = \"\"\"\r\na\r\n\"\"\"\r\napproval_policy = \"never\"\r\n[tui]\r\n",
         "s = \"\"\"\r\na\r\n\"\"\"\r\n" + kOnRequest + "\r\n[tui]\r\n"},
        {"5: U+2D30 at a line start is no TOML, and no undefined behaviour", reads, "a = 1\n\u2D30 1\n", std::nullopt},
        {"5: U+2D30 in a string is", reads, "a = \"\u2D30\"\n", "reads"},
        {"6: Kimi re-serialised our hooks: found by their command", rewrittenByKimiThenReinstalled,
         "hooks = []\n", "\n"},
        {"6: the same beside a table of the person's own", rewrittenByKimiThenReinstalled,
         "[[hooks]]\nevent = \"Stop\"\ncommand = \"say done\"\n",
         "[[hooks]]\nevent = \"Stop\"\ncommand = \"say done\"\n\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(row.edit(row.input), row.expected);
    }
}

}  // namespace
}  // namespace vemlo
