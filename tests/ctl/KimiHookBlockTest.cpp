#include "ctl/HookRegistrations.h"
#include "ctl/KimiHookBlock.h"
#include "leversync/KimiConfigLeverSync.h"

#include "support/Process.h"
#include "support/TomlCheck.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace vemlo::ctl {
namespace {

const Assistant& kimi() { return assistants().at(3); }

const std::string kAgent = "/home/ann/.local/bin/vemloconfig-agent";

struct RoundTrip {
    const char* name;
    std::string input;
    std::string restored;  // after install and uninstall; empty: the input itself
};

void PrintTo(const RoundTrip& c, std::ostream* os) { *os << c.name; }

const std::vector<RoundTrip> kRoundTrips = {
    {"EmptyFile", "", ""},
    {"WrittenByKimi",
     "default_model = \"kimi-for-coding\"\ndefault_yolo = false\nhooks = []\nmerge_all_available_skills = false\n\n"
     "[models.\"kimi-for-coding\"]\nprovider = \"managed:kimi-code\"\nmax_context_size = 262144\n",
     ""},
    {"EmptyHooksWithComment", "hooks = [ ]   # none yet\n[loop_control]\nmax_steps_per_turn = 100\n", ""},
    {"CommentsTablesAndAStringAtTheEnd",
     "# my settings\n[providers.kimi]\napi_key = \"sk-…\" # secret\n\n[notes]\ntext = '''\n[[hooks]]\n'''",
     "# my settings\n[providers.kimi]\napi_key = \"sk-…\" # secret\n\n[notes]\ntext = '''\n[[hooks]]\n'''\n"},
    {"UsersOwnHooks", "[[hooks]]\nevent = \"PreToolUse\"\nmatcher = \"Bash\"\ncommand = \"node ~/check.mjs\"\n", ""},
    {"CrLfLineEnds", "default_yolo = false\r\nhooks = []\r\n[ui]\r\ntheme = \"dark\"\r\n", ""},
    {"NoFinalLineEnd", "default_yolo = false", "default_yolo = false\n"},
    {"TrailingBlankLines", "a = 1\n\n\n", ""},
};

class KimiRoundTrip : public testing::TestWithParam<RoundTrip> {};

TEST_P(KimiRoundTrip, InstallOnceThenUninstallRestoresTheText) {
    const RoundTrip& c = GetParam();
    ASSERT_TRUE(test::isValidToml(c.input));
    KimiHookBlock::Outcome installed = KimiHookBlock::install(c.input, kimi(), kAgent);
    ASSERT_EQ(installed.error, "");
    ASSERT_TRUE(installed.changed);
    const std::string& text = installed.text;
    EXPECT_TRUE(test::isValidToml(text)) << text;
    EXPECT_EQ(installed.added, 7);
    EXPECT_EQ(KimiHookBlock::registeredEvents(text, kimi()), 7);
    EXPECT_EQ(test::occurrences(text, "/vemloconfig-agent hook Kimi"), 7u);
    EXPECT_EQ(test::occurrences(text, std::string(KimiHookBlock::kBeginMarker)), 1u);
    if (c.input.find("\r\n") != std::string::npos) {
        EXPECT_EQ(test::occurrences(text, "\n"), test::occurrences(text, "\r\n"));
    }
    // Nothing of the user's moves: the text is kept up to the block, except a disabled "hooks = []".
    std::string kept = text.substr(0, text.find(KimiHookBlock::kBeginMarker));
    for (size_t at = kept.find(KimiHookBlock::kDisabledLinePrefix); at != std::string::npos;
         at = kept.find(KimiHookBlock::kDisabledLinePrefix))
        kept.erase(at, KimiHookBlock::kDisabledLinePrefix.size());
    EXPECT_EQ(kept.substr(0, c.input.size()), c.input);

    KimiHookBlock::Outcome again = KimiHookBlock::install(text, kimi(), kAgent);
    EXPECT_FALSE(again.changed);
    EXPECT_EQ(again.text, text);

    KimiHookBlock::Outcome removed = KimiHookBlock::uninstall(text, kimi());
    ASSERT_EQ(removed.error, "");
    EXPECT_EQ(removed.removed, 7);
    EXPECT_EQ(removed.text, c.restored.empty() ? c.input : c.restored);
    EXPECT_FALSE(KimiHookBlock::uninstall(removed.text, kimi()).changed);
}

INSTANTIATE_TEST_SUITE_P(Cases, KimiRoundTrip, testing::ValuesIn(kRoundTrips),
                         [](const testing::TestParamInfo<RoundTrip>& info) { return std::string(info.param.name); });

struct Refusal {
    const char* name;
    std::string input;
    std::string errorPart;
};

void PrintTo(const Refusal& c, std::ostream* os) { *os << c.name; }

const std::string kBlock = KimiHookBlock::block(assistants().at(3), kAgent, "\n");

const std::vector<Refusal> kRefusals = {
    {"InlineHooksArray", "hooks = [{ event = \"Stop\", command = \"say done\" }]\n", "top level"},
    {"HooksTable", "[hooks]\nStop = \"say done\"\n", "[hooks] table"},
    {"DottedHooksKey", "hooks.stop = \"say done\"\n", "top level"},
    {"NotToml", "default_yolo = \"\"\"\nnever closed\n", "not valid TOML (line "},
    {"BlockWithoutEnd", "a = 1\n" + kBlock.substr(0, kBlock.find("# <<<")), "damaged"},
    {"TwoBlocks", kBlock + kBlock, "damaged"},
};

class KimiRefusal : public testing::TestWithParam<Refusal> {};

TEST_P(KimiRefusal, LeavesTheTextAlone) {
    const Refusal& c = GetParam();
    for (bool installing : {true, false}) {
        KimiHookBlock::Outcome out =
            installing ? KimiHookBlock::install(c.input, kimi(), kAgent) : KimiHookBlock::uninstall(c.input, kimi());
        EXPECT_NE(out.error.find(c.errorPart), std::string::npos) << out.error;
        EXPECT_FALSE(out.changed);
        EXPECT_EQ(out.text, c.input);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, KimiRefusal, testing::ValuesIn(kRefusals),
                         [](const testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

// Kimi re-serialises config.toml when it saves settings itself: comments and our markers vanish
// and our tables stand among the user's.
TEST(KimiHookBlock, TablesOfOursOutsideTheBlockAreReplacedAndRemoved) {
    const std::string users = "[[hooks]]\nevent = \"Stop\"\ncommand = \"notify-send done\"\n\n";
    const std::string text =
        "default_yolo = true\n\n"
        "[[hooks]]\nevent = \"Stop\"\ncommand = \"/old/vemloconfig-agent hook KimiStop\"\n"
        "matcher = \"\"\ntimeout = 10\n\n" +
        users + "[loop_control]\nmax_steps_per_turn = 5\n";
    ASSERT_TRUE(test::isValidToml(text));
    KimiHookBlock::Outcome installed = KimiHookBlock::install(text, kimi(), kAgent);
    ASSERT_EQ(installed.error, "");
    EXPECT_EQ(installed.removed, 1);
    EXPECT_TRUE(test::isValidToml(installed.text)) << installed.text;
    EXPECT_EQ(installed.text.find("/old/"), std::string::npos);
    EXPECT_EQ(installed.text.rfind("default_yolo = true\n\n" + users + "[loop_control]\nmax_steps_per_turn = 5\n\n", 0),
              0u);

    KimiHookBlock::Outcome removed = KimiHookBlock::uninstall(text, kimi());
    EXPECT_EQ(removed.removed, 1);
    EXPECT_EQ(removed.text, "default_yolo = true\n\n" + users + "[loop_control]\nmax_steps_per_turn = 5\n");
}

TEST(KimiHookBlock, AnOutOfDateBlockIsReplacedInPlaceOfTheOld) {
    const std::string original = "default_yolo = false\n";
    const std::string old = KimiHookBlock::install(original, kimi(), "/old place/vemloconfig-agent").text;
    KimiHookBlock::Outcome moved = KimiHookBlock::install(old, kimi(), kAgent);
    EXPECT_EQ(moved.removed, 7);
    EXPECT_EQ(moved.text, KimiHookBlock::install(original, kimi(), kAgent).text);
}

// The lever sync rewrites default_yolo in the same file, swallowing blank lines around the key.
TEST(KimiHookBlock, SurvivesTheLeverSyncRewritingDefaultYolo) {
    for (const std::string original : {"default_yolo = false\n", "model = \"k2\"\n"}) {
        const std::string installed = KimiHookBlock::install(original, kimi(), kAgent).text;
        const std::string synced =
            KimiConfigLeverSync::replaceOrInsertDefaultYolo(installed, KimiConfigLeverSync::kAutoTemplate).text.value();
        ASSERT_TRUE(test::isValidToml(synced));
        EXPECT_FALSE(KimiHookBlock::install(synced, kimi(), kAgent).changed) << synced;
        std::string removed = KimiHookBlock::uninstall(synced, kimi()).text;
        EXPECT_TRUE(test::isValidToml(removed));
        // The sync drops the final line end after a last key line; with our block below, it had none to drop.
        std::string expected =
            KimiConfigLeverSync::replaceOrInsertDefaultYolo(original, KimiConfigLeverSync::kAutoTemplate).text.value();
        if (expected.back() != '\n') expected += '\n';
        EXPECT_EQ(removed, expected);
    }
}

TEST(KimiHookBlock, DisabledEmptyHooksStaysDisabledWhileUserTablesFollowIt) {
    const std::string installed = KimiHookBlock::install("hooks = []\n", kimi(), kAgent).text;
    const std::string withUsers = installed + "\n[[hooks]]\nevent = \"Stop\"\ncommand = \"say done\"\n";
    ASSERT_TRUE(test::isValidToml(withUsers));
    const std::string removed = KimiHookBlock::uninstall(withUsers, kimi()).text;
    EXPECT_TRUE(test::isValidToml(removed)) << removed;
    EXPECT_NE(removed.find("say done"), std::string::npos);
}

}  // namespace
}  // namespace vemlo::ctl
