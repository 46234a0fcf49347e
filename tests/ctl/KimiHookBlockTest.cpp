#include "ctl/HookRegistrations.h"
#include "ctl/KimiHookBlock.h"
#include "leversync/KimiConfigLeverSync.h"
#include "support/Process.h"
#include "support/TomlCheck.h"

#include <gtest/gtest.h>

#include <string>

namespace vemlo::ctl {
namespace {

const Assistant& kimi() { return assistants().at(3); }
const std::string kAgent = "/home/ann/.local/bin/vemloconfig-agent";

TEST(KimiHookBlock, InstallOnceThenUninstallRestoresTheText) {
    const std::pair<std::string, std::string> cases[] = {
        // input; after install and uninstall ("": the input)
        {"", ""},
        {"hooks = [ ]   # none yet\n[loop_control]\nmax_steps_per_turn = 100\n", ""},
        {"# mine\n[p]\napi_key = \"sk-…\" # secret\n\n[notes]\ntext = '''\n[[hooks]]\n'''",
         "# mine\n[p]\napi_key = \"sk-…\" # secret\n\n[notes]\ntext = '''\n[[hooks]]\n'''\n"},
        {"[[hooks]]\nevent = \"PreToolUse\"\nmatcher = \"Bash\"\ncommand = \"node ~/check.mjs\"\n", ""},
        {"default_yolo = false\r\nhooks = []\r\n[ui]\r\ntheme = \"dark\"\r\n", ""},
        {"default_yolo = false", "default_yolo = false\n"},
        {"a = 1\n\n\n", ""},
    };
    for (const auto& [input, restored] : cases) {
        SCOPED_TRACE(input);
        ASSERT_TRUE(test::isValidToml(input));
        const KimiHookBlock::Outcome installed = KimiHookBlock::install(input, kimi(), kAgent);
        ASSERT_EQ(installed.error, "");
        const std::string& text = installed.text;
        EXPECT_TRUE(test::isValidToml(text)) << text;
        EXPECT_EQ(KimiHookBlock::registeredEvents(text, kimi()), 7);
        EXPECT_EQ(test::occurrences(text, std::string(KimiHookBlock::kBeginMarker)), 1u);
        EXPECT_TRUE(input.find("\r\n") == std::string::npos ||
                    test::occurrences(text, "\n") == test::occurrences(text, "\r\n"));
        // Nothing of the user's moves: the text is kept up to the block, except a disabled "hooks = []".
        std::string kept = text.substr(0, text.find(KimiHookBlock::kBeginMarker));
        for (size_t at; (at = kept.find(KimiHookBlock::kDisabledLinePrefix)) != std::string::npos;)
            kept.erase(at, KimiHookBlock::kDisabledLinePrefix.size());
        EXPECT_EQ(kept.substr(0, input.size()), input);
        EXPECT_FALSE(KimiHookBlock::install(text, kimi(), kAgent).changed);

        const KimiHookBlock::Outcome removed = KimiHookBlock::uninstall(text, kimi());
        EXPECT_EQ(removed.removed, 7);
        EXPECT_EQ(removed.text, restored.empty() ? input : restored);
        EXPECT_FALSE(KimiHookBlock::uninstall(removed.text, kimi()).changed);
    }
}

TEST(KimiHookBlock, RefusesWhatItCannotEditAndLeavesTheText) {
    const std::string block = KimiHookBlock::block(kimi(), kAgent, "\n");
    const std::pair<std::string, std::string> cases[] = {
        {"hooks = [{ event = \"Stop\", command = \"say done\" }]\n", "top level"},
        {"[hooks]\nStop = \"say done\"\n", "[hooks] table"},
        {"hooks.stop = \"say done\"\n", "top level"},
        {"default_yolo = \"\"\"\nnever closed\n", "not valid TOML (line "},
        {"a = 1\n" + block.substr(0, block.find("# <<<")), "damaged"},
        {block + block, "damaged"},
    };
    for (const auto& [input, error] : cases) {
        for (bool installing : {true, false}) {
            const auto out =
                installing ? KimiHookBlock::install(input, kimi(), kAgent) : KimiHookBlock::uninstall(input, kimi());
            EXPECT_NE(out.error.find(error), std::string::npos) << out.error;
            EXPECT_FALSE(out.changed);
            EXPECT_EQ(out.text, input);
        }
    }
}

// The lever sync rewrites default_yolo in the same file.
TEST(KimiHookBlock, SurvivesTheLeverSyncRewritingDefaultYolo) {
    for (const std::string original : {"default_yolo = false\n", "model = \"k2\"\n"}) {
        const auto sync = [](const std::string& t) {
            return KimiConfigLeverSync::replaceOrInsertDefaultYolo(t, KimiConfigLeverSync::kAutoTemplate).text.value();
        };
        const std::string synced = sync(KimiHookBlock::install(original, kimi(), kAgent).text);
        ASSERT_TRUE(test::isValidToml(synced));
        EXPECT_FALSE(KimiHookBlock::install(synced, kimi(), kAgent).changed) << synced;
        EXPECT_EQ(KimiHookBlock::uninstall(synced, kimi()).text, sync(original));
    }
    const std::string withUsers = KimiHookBlock::install("hooks = []\n", kimi(), kAgent).text +
                                  "\n[[hooks]]\nevent = \"Stop\"\ncommand = \"x\"\n";
    ASSERT_TRUE(test::isValidToml(withUsers));
    const std::string removed = KimiHookBlock::uninstall(withUsers, kimi()).text;
    EXPECT_TRUE(test::isValidToml(removed)) << "a disabled hooks = [] stays disabled before the user's tables";
    EXPECT_NE(removed.find("command = \"x\""), std::string::npos);
}

}  // namespace
}  // namespace vemlo::ctl
