#include "leversync/KimiConfigLeverSync.h"

#include "leversync/SyncLock.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "platform/Toml.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <optional>

namespace vemlo::KimiConfigLeverSync {
namespace {

constexpr std::string_view kLockName = paths::kKimiConfigLock;
constexpr const char* kPrefix = "[tesk-kimi] ";

void writeStderr(std::string_view text) { (void)files::writeAll(STDERR_FILENO, text); }

using files::errorText;

void tell(const Report& report, std::string_view event, const Json& details = Json::object()) {
    if (report) report(event, details);
}

// Copies the contents (following a symbolic link, so a linked configuration still gets a real copy)
// into a private file that must not exist yet, whole or not at all: the configuration may hold API
// keys. Returns the error's description on failure.
std::optional<std::string> copyToNewFile(const std::string& from, const std::string& to) {
    std::string err;
    const std::optional<std::string> bytes = files::readFile(from, &err);
    if (!bytes) return err;
    switch (files::createExclusive(to, *bytes, 0600, &err)) {
    case files::Created::created:
        return std::nullopt;
    case files::Created::alreadyThere:
        return errorText(EEXIST);
    case files::Created::failed:
        break;
    }
    return err;
}

void writeRaw(const std::string& home, const std::string& text, std::string_view label, const Report& report) {
    std::string error;
    if (!files::atomicWrite(configPath(home), text, &error)) {
        writeStderr("KimiConfigLeverSync: 写回失败 " + error + "\n");
        tell(report, "kimi_lever_sync_write_failed", Json{{"error", error}});
        return;
    }
    tell(report, "kimi_lever_sync_" + std::string(label),
         Json{{"bytes", static_cast<int64_t>(text.size())}, {"reloadHint", "kimi_reload_slash_same_session_ok"}});
}

// A file that Kimi reads today is worth more than following the lever: an edit that cannot be
// proven leaves the file as it is, and Kimi keeps its current `default_yolo`.
void applyRewrite(const std::string& home, const toml::KeyEdit& rewrite, std::string_view label,
                  const Report& report) {
    if (!rewrite.text) {
        writeStderr("KimiConfigLeverSync: 未改写 " + configPath(home) + "（" + std::string(rewrite.leftAlone) +
                    (rewrite.detail.empty() ? "" : ": " + rewrite.detail) + "）\n");
        tell(report, "kimi_lever_sync_left_alone", Json{{"reason", rewrite.leftAlone}, {"detail", rewrite.detail}});
        return;
    }
    writeRaw(home, *rewrite.text, label, report);
}

}  // namespace

std::string configPath(const std::string& home) { return files::join(paths::kimiFolder(home), "config.toml"); }

std::string snapshotPath(const std::string& home) { return configPath(home) + ".vemlo.lever0.bak"; }

toml::KeyEdit replaceOrInsertDefaultYolo(std::string_view text, std::string_view templateLine) {
    const bool yolo = templateLine == kAutoTemplate;
    if (text.find_first_not_of(" \t\r\n") == std::string_view::npos && toml::parses(text))
        return {std::string(templateLine) + std::string(toml::Lines(text).lineEnd()), {}, {}};
    // Rewritten even when the value is right already, so the line carries the hint to /reload.
    return toml::setTopLevelKey(text, "default_yolo", templateLine, yolo, toml::Place::top, true);
}

void enableYoloInConfig(const std::string& home, const Report& report) {
    const std::string config = configPath(home);
    if (!files::exists(config)) {
        writeStderr("KimiConfigLeverSync: 未找到 " + config + "，跳过。\n");
        tell(report, "kimi_lever_sync_missing_config", Json{{"path", config}});
        return;
    }
    SyncLock lock(home, kLockName);
    const std::string snapshot = snapshotPath(home);
    // An existing snapshot is kept: it holds the configuration from before the automatic period began.
    if (!files::exists(snapshot)) {
        if (const std::optional<std::string> error = copyToNewFile(config, snapshot)) {
            writeStderr("KimiConfigLeverSync: 备份失败 " + *error + "\n");
            tell(report, "kimi_lever_sync_backup_failed", Json{{"error", *error}});
        } else {
            tell(report, "kimi_lever_sync_backup_created", Json{{"to", snapshot}});
        }
    }
    const std::optional<std::string> text = files::readFile(config);
    if (!text || !text::isValidUtf8(*text)) {
        writeStderr("KimiConfigLeverSync: 无法读取 " + config + "\n");
        return;
    }
    applyRewrite(home, replaceOrInsertDefaultYolo(*text, kAutoTemplate), "enable_auto", report);
}

void disableDefaultYoloForManualDial(const std::string& home, const Report& report) {
    const std::string config = configPath(home);
    const std::string snapshot = snapshotPath(home);
    if (!files::exists(snapshot) && !files::exists(config)) return;
    SyncLock lock(home, kLockName);
    const std::optional<std::string> text = files::readFile(config);
    const bool utf8 = text && text::isValidUtf8(*text);
    const toml::KeyEdit edit = utf8 ? replaceOrInsertDefaultYolo(*text, kManualTemplate) : toml::KeyEdit{};
    const bool reads = utf8 && edit.leftAlone != "input_not_toml";
    if (files::exists(snapshot)) {
        if (!reads) {
            writeStderr("KimiConfigLeverSync: 保留快照 " + snapshot + "，" + config + " 不是可读的 TOML\n");
            tell(report, "kimi_lever_snapshot_kept", Json{{"reason", "config_not_toml"}});
        } else if (::unlink(snapshot.c_str()) == 0) {
            tell(report, "kimi_lever_snapshot_removed_for_manual_clear");
            writeStderr(std::string(kPrefix) +
                        "removed config.toml.vemlo.lever0.bak (avoid restoring old default_yolo=true)\n");
        } else {
            writeStderr("KimiConfigLeverSync: 无法删除快照 " + errorText(errno) + "\n");
        }
    }
    if (!utf8) return;
    applyRewrite(home, edit, "disable_manual", report);
    writeStderr(std::string(kPrefix) + "default_yolo=false on dial manual; run /reload in Kimi.\n");
    writeStderr(std::string(kPrefix) +
                "note: kimi ORs persisted session YOLO (e.g. after /yolo) with config — if reload still shows "
                "yolo, toggle /yolo off once or use a fresh session.\n");
}

void enableYoloInConfig(const Report& report) { enableYoloInConfig(files::homeDirectory(), report); }
void disableDefaultYoloForManualDial(const Report& report) {
    disableDefaultYoloForManualDial(files::homeDirectory(), report);
}

}  // namespace vemlo::KimiConfigLeverSync
