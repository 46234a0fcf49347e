#include "leversync/KimiConfigLeverSync.h"

#include "platform/Files.h"
#include "platform/Json.h"
#include "support/TempDir.h"
#include "support/TomlCheck.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace vemlo {
namespace {

namespace sync = KimiConfigLeverSync;
namespace fs = std::filesystem;

std::string expand(std::string text, std::string_view templateLine) {
    for (size_t at; (at = text.find("{T}")) != std::string::npos;) text.replace(at, 3, templateLine);
    return text;
}

// Where the line goes; the proof that nothing else changes is the rewrite's own, and fuzz/kimi_rewrite
// checks it. "{T}" stands for the template line; no expectation: the file is left alone.
TEST(KimiText, EnableAndDisableRewriteTheTopLevelKey) {
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {"model = \"k2\"\ndefault_yolo = false\nmax_steps = 100\n", "model = \"k2\"\n{T}\nmax_steps = 100\n"},
        {"[models.k2]\nname = \"k2\"\n", "{T}\n\n[models.k2]\nname = \"k2\"\n"},
        {"", "{T}\n"},
        {"\xEF\xBB\xBF" "default_yolo = 1\n", "\xEF\xBB\xBF{T}\n"},
        {"model = \"k2\"\ndefault_yolo = false\n\n \n", "model = \"k2\"\n{T}\n\n \n"},
        {"a = 1\r\n\r\ndefault_yolo = true\r\n\r\nb = 2\r\n", "a = 1\r\n\r\n{T}\r\n\r\nb = 2\r\n"},
        {"\"default_yolo\" = false\nmodel = \"k2\"\n", "{T}\nmodel = \"k2\"\n"},
        {"default_yolo = [\n  true,\n] # list\nmodel = \"k2\"", "{T}\nmodel = \"k2\""},
        {"s = '''\ndefault_yolo = 1\n'''\ndefault_yolo = false", "s = '''\ndefault_yolo = 1\n'''\n{T}"},
        {"default_yolo.note = 1\n", std::nullopt},
        {"[default_yolo]\n", std::nullopt},
        {"default_yolo = true # a\fb\n", std::nullopt},  // a form feed: not TOML
    };
    for (const auto& [input, expected] : cases) {
        for (std::string_view templateLine : {sync::kAutoTemplate, sync::kManualTemplate}) {
            const toml::KeyEdit rewrite = sync::replaceOrInsertDefaultYolo(input, templateLine);
            EXPECT_EQ(rewrite.text, expected ? std::optional(expand(*expected, templateLine)) : std::nullopt) << input;
        }
    }
}

struct KimiFile : testing::Test {
    test::TempDir home;
    std::string config = sync::configPath(home.path());
    std::string snapshot = sync::snapshotPath(home.path());
    std::vector<std::string> events;  // the steps reported
    sync::Report report = [this](std::string_view event, const Json&) { events.emplace_back(event); };

    void writeConfig(const std::string& text) {
        fs::create_directories(home.file(".kimi"));
        ASSERT_TRUE(files::atomicWrite(config, text));
    }
    std::string run(bool automatic) {
        testing::internal::CaptureStderr();
        automatic ? sync::enableYoloInConfig(home.path(), report)
                  : sync::disableDefaultYoloForManualDial(home.path(), report);
        return testing::internal::GetCapturedStderr();
    }
    std::vector<std::string> takeEventNames() { return std::exchange(events, {}); }
};

const std::string kRemovedLine =
    "[tesk-kimi] removed config.toml.vemlo.lever0.bak (avoid restoring old default_yolo=true)\n";
const std::string kManualLines =
    "[tesk-kimi] default_yolo=false on dial manual; run /reload in Kimi.\n"
    "[tesk-kimi] note: kimi ORs persisted session YOLO (e.g. after /yolo) with config — if reload still shows yolo, "
    "toggle /yolo off once or use a fresh session.\n";

TEST_F(KimiFile, SnapshotIsTakenOnceAndDroppedOnManual) {
    const std::string original = "model = \"k2\"\ndefault_yolo = false\n";
    writeConfig(original);
    ASSERT_EQ(::chmod(config.c_str(), 0644), 0);
    EXPECT_EQ(run(true), "");
    EXPECT_EQ(files::readFile(snapshot), original);
    EXPECT_EQ(files::readFile(config), "model = \"k2\"\n" + std::string(sync::kAutoTemplate) + "\n");
    struct stat st {};
    ASSERT_EQ(::stat(snapshot.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u) << "the snapshot may hold keys: it is private, whatever the file's mode";
    EXPECT_EQ(takeEventNames(),
              (std::vector<std::string>{"kimi_lever_sync_backup_created", "kimi_lever_sync_enable_auto"}));
    writeConfig("model = \"k3\"\n");
    EXPECT_EQ(run(true), "");
    EXPECT_EQ(files::readFile(snapshot), original) << "an existing snapshot is never overwritten";
    EXPECT_EQ(takeEventNames(), std::vector<std::string>{"kimi_lever_sync_enable_auto"});

    EXPECT_EQ(run(false), kRemovedLine + kManualLines);
    EXPECT_FALSE(fs::exists(snapshot));
    EXPECT_EQ(files::readFile(config), std::string(sync::kManualTemplate) + "\n\nmodel = \"k3\"\n");
    EXPECT_EQ(takeEventNames(), (std::vector<std::string>{"kimi_lever_snapshot_removed_for_manual_clear",
                                                          "kimi_lever_sync_disable_manual"}));
    EXPECT_EQ(run(false), kManualLines);
    EXPECT_EQ(takeEventNames(), std::vector<std::string>{"kimi_lever_sync_disable_manual"});
    run(true);
    EXPECT_EQ(files::readFile(snapshot), std::string(sync::kManualTemplate) + "\n\nmodel = \"k3\"\n")
        << "the next automatic period starts a fresh snapshot";
}

// A file the edit cannot be proven on is left as it is, with the reason; a quoted key is rewritten.
TEST_F(KimiFile, ARewriteThatWouldBreakTheFileLeavesItAndSaysWhy) {
    const std::pair<std::string, std::string> cases[] = {{"default_yolo.x = false\n", "key_is_a_table"},
                                                         {"default_yolo = \"\"\"\nno\n", "input_not_toml"},
                                                         {"\"default_yolo\" = false\n", ""}};
    for (const auto& [text, reason] : cases) {
        writeConfig(text);
        std::string said;
        testing::internal::CaptureStderr();
        sync::enableYoloInConfig(home.path(), [&](std::string_view event, const Json& details) {
            if (event == "kimi_lever_sync_left_alone") said = details.value("reason", "?");
        });
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(said, reason) << text;
        EXPECT_EQ(files::readFile(config) == text, !reason.empty()) << text;
        EXPECT_EQ(err.find("（" + reason) != std::string::npos, !reason.empty()) << err;
        fs::remove(snapshot);
    }
    // Leaving 0 with a file that does not read keeps the lever-0 copy, the only good one there may be.
    run(true);
    writeConfig("default_yolo = \"\"\"\n");
    EXPECT_NE(run(false).find("保留快照"), std::string::npos);
    EXPECT_TRUE(fs::exists(snapshot));
}

TEST_F(KimiFile, AMissingConfigurationIsNeverCreated) {
    EXPECT_EQ(run(true), "KimiConfigLeverSync: 未找到 " + config + "，跳过。\n");
    EXPECT_EQ(takeEventNames(), std::vector<std::string>{"kimi_lever_sync_missing_config"});
    EXPECT_EQ(run(false), "");
    EXPECT_TRUE(events.empty());
    EXPECT_TRUE(fs::is_empty(home.path())) << "nothing is created for a missing configuration";
}

}  // namespace
}  // namespace vemlo
