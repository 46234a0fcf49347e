#include "leversync/KimiConfigLeverSync.h"

#include "platform/Files.h"
#include "platform/Json.h"
#include "support/TempDir.h"
#include "support/TomlCheck.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <filesystem>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace vemlo {
namespace {

namespace sync = KimiConfigLeverSync;
namespace fs = std::filesystem;

// "{T}" stands for the template line, so one expectation covers enable and disable. No expectation: the
// file is left alone, because the rewrite would break it.
struct TextCase {
    const char* name;
    std::string input;
    std::optional<std::string> expected;
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const TextCase& c, std::ostream* os) { *os << c.name; }

const std::vector<TextCase> kTextCases = {
    {"KeyOnItsOwnLine", "model = \"k2\"\ndefault_yolo = false\nmax_steps = 100\n",
     "model = \"k2\"\n{T}\nmax_steps = 100\n"},
    {"IndentedKeyWithComment", "  default_yolo=true   # mine\nmodel = \"k2\"\n", "{T}\nmodel = \"k2\"\n"},
    {"TableHeaderFirst", "[models.k2]\nname = \"k2\"\n", "{T}\n\n[models.k2]\nname = \"k2\"\n"},
    {"EmptyFile", "", "{T}\n"},
    {"WhiteSpaceOnlyFile", " \n\t\n\n", "{T}\n"},
    {"CommentedKeyStays", "# default_yolo = true\nmodel = \"k2\"\n", "{T}\n\n# default_yolo = true\nmodel = \"k2\"\n"},
    {"LongerKeyIsNotTheKey", "default_yolo_old = 1\n", "{T}\n\ndefault_yolo_old = 1\n"},
    {"KeyTwiceBothReplaced", "default_yolo = true\n[ui]\ndefault_yolo = true\ntheme = \"dark\"\n",
     "{T}\n[ui]\n{T}\ntheme = \"dark\"\n"},
    {"BlankLinesAroundKeyRemoved", "model = \"k2\"\n\n\ndefault_yolo = true\n\n\n[ui]\ntheme = \"dark\"\n",
     "model = \"k2\"\n{T}\n[ui]\ntheme = \"dark\"\n"},
    {"WhiteSpaceOnlyLinesAboveRemoved", "model = \"k2\"\n  \n\t\ndefault_yolo = true\nx = 1\n",
     "model = \"k2\"\n{T}\nx = 1\n"},
    {"LastLineLosesFinalNewline", "model = \"k2\"\ndefault_yolo = false\n", "model = \"k2\"\n{T}"},
    {"LastLineTrailingBlankLinesRemoved", "model = \"k2\"\ndefault_yolo = false\n\n \n", "model = \"k2\"\n{T}"},
    {"NoFinalNewline", "model = \"k2\"\ndefault_yolo = false", "model = \"k2\"\n{T}"},
    {"CrLfLineEndsKept", "a = 1\r\n\r\ndefault_yolo = true\r\n\r\nb = 2\r\n", "a = 1\r\n{T}\r\nb = 2\r\n"},
    {"QuotedKeyWouldBeDefinedTwice", "\"default_yolo\" = false\nmodel = \"k2\"\n", std::nullopt},
    {"MultiLineValueWouldBeCutInHalf", "default_yolo = \"\"\"\ntrue\"\"\"\nmodel = \"k2\"\n", std::nullopt},
    {"DottedKeyWouldBeDefinedTwice", "default_yolo.note = 1\n", std::nullopt},
};

std::string expand(const std::string& pattern, std::string_view templateLine) {
    std::string out = pattern;
    for (size_t at = out.find("{T}"); at != std::string::npos; at = out.find("{T}", at + templateLine.size()))
        out.replace(at, 3, templateLine);
    return out;
}

class KimiText : public testing::TestWithParam<TextCase> {};

TEST_P(KimiText, EnableAndDisableRewriteTheKeyLines) {
    const TextCase& c = GetParam();
    ASSERT_TRUE(test::isValidToml(c.input)) << "every input here is a valid configuration";
    for (std::string_view templateLine : {sync::kAutoTemplate, sync::kManualTemplate}) {
        const sync::Rewrite rewrite = sync::replaceOrInsertDefaultYolo(c.input, templateLine);
        if (!c.expected) {
            EXPECT_FALSE(rewrite.text) << *rewrite.text;
            continue;
        }
        ASSERT_TRUE(rewrite.text) << rewrite.leftAlone;
        const std::string& out = *rewrite.text;
        EXPECT_EQ(out, expand(*c.expected, templateLine));
        EXPECT_TRUE(test::isValidToml(out)) << out;
        // The lever moving back and forth keeps the file a valid configuration.
        const sync::Rewrite back = sync::replaceOrInsertDefaultYolo(
            out, templateLine == sync::kAutoTemplate ? sync::kManualTemplate : sync::kAutoTemplate);
        EXPECT_TRUE(back.text && test::isValidToml(*back.text)) << back.text.value_or("");
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, KimiText, testing::ValuesIn(kTextCases),
                         [](const testing::TestParamInfo<TextCase>& info) { return std::string(info.param.name); });

// Files Kimi would refuse still lose no line but the key's: a key with no value once took the
// next line for its value, and a form feed ended the line for "$" but not for the value, so the
// second rewrite deleted what the first had kept.
TEST(KimiTextBroken, OnlyTheKeyLineIsReplaced) {
    const std::pair<std::string, std::string> cases[] = {
        {"default_yolo =\n[ui]\ntheme = 1\n", "{T}\n[ui]\ntheme = 1\n"},
        {"default_yolo = true # a\fb\nx = 1\n", "{T}\fb\nx = 1\n"},
        {"{T}\fb\nx = 1\n", "{T}\fb\nx = 1\n"},
    };
    for (const auto& [input, expected] : cases) {
        const std::string text = expand(input, sync::kAutoTemplate);
        EXPECT_EQ(sync::replaceOrInsertDefaultYolo(text, sync::kManualTemplate).text,
                  expand(expected, sync::kManualTemplate))
            << input;
    }
}

// Runs the syncs on files in a temporary home and collects what they print and report.
class KimiFile : public testing::Test {
protected:
    test::TempDir home;
    std::string config = sync::configPath(home.path());
    std::string snapshot = sync::snapshotPath(home.path());

    void writeConfig(const std::string& text) {
        fs::create_directories(home.file(".kimi"));
        ASSERT_TRUE(files::atomicWrite(config, text));
    }

    std::string enable() {
        testing::internal::CaptureStderr();
        sync::enableYoloInConfig(home.path(), report_);
        return testing::internal::GetCapturedStderr();
    }
    std::string disable() {
        testing::internal::CaptureStderr();
        sync::disableDefaultYoloForManualDial(home.path(), report_);
        return testing::internal::GetCapturedStderr();
    }

    // The steps reported since the last call, each as its details plus "event".
    std::vector<Json> takeEvents() { return std::exchange(events_, {}); }
    std::vector<std::string> takeEventNames() {
        std::vector<std::string> names;
        for (const Json& e : takeEvents()) names.push_back(e.value("event", "<bad record>"));
        return names;
    }

private:
    std::vector<Json> events_;
    sync::Report report_ = [this](std::string_view event, const Json& details) {
        Json e = details;
        e["event"] = std::string(event);
        events_.push_back(std::move(e));
    };
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
    ASSERT_EQ(::chmod(config.c_str(), 0600), 0);

    EXPECT_EQ(enable(), "");
    EXPECT_EQ(files::readFile(snapshot), original);
    EXPECT_EQ(files::readFile(config), "model = \"k2\"\n" + std::string(sync::kAutoTemplate));
    struct stat st {};
    ASSERT_EQ(::stat(snapshot.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u) << "the snapshot may hold keys: it keeps the configuration's mode";
    std::vector<Json> events = takeEvents();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0]["event"], "kimi_lever_sync_backup_created");
    EXPECT_EQ(events[0]["to"], snapshot);
    EXPECT_EQ(events[1]["event"], "kimi_lever_sync_enable_auto");
    EXPECT_EQ(events[1]["bytes"], files::readFile(config)->size());
    EXPECT_EQ(events[1]["reloadHint"], "kimi_reload_slash_same_session_ok");

    writeConfig("model = \"k3\"\n");
    EXPECT_EQ(enable(), "");
    EXPECT_EQ(files::readFile(snapshot), original) << "an existing snapshot is never overwritten";
    EXPECT_EQ(takeEventNames(), std::vector<std::string>{"kimi_lever_sync_enable_auto"});

    EXPECT_EQ(disable(), kRemovedLine + kManualLines);
    EXPECT_FALSE(fs::exists(snapshot));
    // The blank line that the automatic sync put under its inserted line goes with the key line.
    EXPECT_EQ(files::readFile(config), std::string(sync::kManualTemplate) + "\nmodel = \"k3\"\n");
    EXPECT_EQ(takeEventNames(), (std::vector<std::string>{"kimi_lever_snapshot_removed_for_manual_clear",
                                                          "kimi_lever_sync_disable_manual"}));

    EXPECT_EQ(disable(), kManualLines);
    EXPECT_EQ(takeEventNames(), std::vector<std::string>{"kimi_lever_sync_disable_manual"});

    enable();
    EXPECT_EQ(files::readFile(snapshot), std::string(sync::kManualTemplate) + "\nmodel = \"k3\"\n")
        << "the next automatic period starts a fresh snapshot";
}

TEST_F(KimiFile, MissingConfigurationIsReportedByEnableOnly) {
    EXPECT_EQ(enable(), "KimiConfigLeverSync: 未找到 " + config + "，跳过。\n");
    std::vector<Json> events = takeEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0]["event"], "kimi_lever_sync_missing_config");
    EXPECT_EQ(events[0]["path"], config);

    EXPECT_EQ(disable(), "");
    EXPECT_TRUE(takeEvents().empty());
    EXPECT_TRUE(fs::is_empty(home.path())) << "nothing is created for a missing configuration";
}

TEST_F(KimiFile, UnreadableTextIsNeverRewritten) {
    const std::string garbled = "model = \"\xff\"\n";
    writeConfig(garbled);
    EXPECT_EQ(enable(), "KimiConfigLeverSync: 无法读取 " + config + "\n");
    EXPECT_EQ(files::readFile(config), garbled);
    EXPECT_EQ(takeEventNames(), std::vector<std::string>{"kimi_lever_sync_backup_created"});

    EXPECT_EQ(disable(), kRemovedLine);
    EXPECT_EQ(files::readFile(config), garbled);
}

TEST_F(KimiFile, LinkedConfigurationIsRewrittenThroughTheLink) {
    fs::create_directories(home.file("dotfiles"));
    fs::create_directories(home.file(".kimi"));
    const std::string target = home.file("dotfiles/kimi.toml");
    ASSERT_TRUE(files::atomicWrite(target, "default_yolo = false\n"));
    fs::create_symlink(target, config);

    enable();

    EXPECT_TRUE(fs::is_symlink(config));
    EXPECT_EQ(files::readFile(target), std::string(sync::kAutoTemplate));
    EXPECT_FALSE(fs::is_symlink(snapshot)) << "the snapshot is a real copy, not a second link to the same file";
    EXPECT_EQ(files::readFile(snapshot), "default_yolo = false\n");
}

}  // namespace
}  // namespace vemlo
