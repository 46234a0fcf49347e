#include "leversync/KimiConfigLeverSync.h"

#include "leversync/KimiConfigDiagnostic.h"
#include "leversync/KimiHookDebugLog.h"
#include "leversync/SyncLock.h"
#include "platform/Files.h"
#include "platform/Text.h"

#include <unicode/regex.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace vemlo::KimiConfigLeverSync {
namespace {

constexpr const char* kLockName = "kimi-config.lock";
constexpr const char* kPrefix = "[tesk-kimi] ";

void writeStderr(std::string_view text) {
    while (!text.empty()) {
        ssize_t n = ::write(STDERR_FILENO, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        text.remove_prefix(static_cast<size_t>(n));
    }
}

std::string errorText(int err) { return err != 0 ? std::strerror(err) : "unknown error"; }

const icu::RegexPattern* keyPattern() {
    static const std::unique_ptr<icu::RegexPattern> pattern = [] {
        UErrorCode status = U_ZERO_ERROR;
        UParseError parseError{};
        std::unique_ptr<icu::RegexPattern> p(icu::RegexPattern::compile(
            icu::UnicodeString(u"(?m)^\\s*default_yolo\\s*=\\s*[^\\r\\n]*\\s*$"), 0, parseError, status));
        if (U_FAILURE(status)) p.reset();
        return p;
    }();
    return pattern.get();
}

std::string prependTemplate(std::string_view text, std::string_view templateLine) {
    std::string out(templateLine);
    out += "\n\n";
    out += text;
    return out;
}

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

// Copies the contents (following a symbolic link, so a linked configuration still gets a real copy)
// into a file that must not exist yet, with the source's permission bits: the configuration may hold
// API keys. A partly written copy is removed. Returns the error's description on failure.
std::optional<std::string> copyToNewFile(const std::string& from, const std::string& to) {
    errno = 0;
    const std::optional<std::string> bytes = files::readFile(from);
    if (!bytes) return errorText(errno);
    struct stat st {};
    const mode_t mode = ::stat(from.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0600;
    const int fd = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return errorText(errno);
    int err = 0;
    if (!writeAll(fd, *bytes) || ::fchmod(fd, mode) != 0 || ::fsync(fd) != 0) err = errno ? errno : EIO;
    if (::close(fd) != 0 && err == 0) err = errno ? errno : EIO;
    if (err == 0) return std::nullopt;
    ::unlink(to.c_str());
    return errorText(err);
}

void writeRaw(const std::string& home, const std::string& text, std::string_view label) {
    errno = 0;
    if (!files::atomicWrite(configPath(home), text)) {
        const std::string error = errorText(errno);
        writeStderr("KimiConfigLeverSync: 写回失败 " + error + "\n");
        KimiHookDebugLog::append("kimi_lever_sync_write_failed", Json{{"error", error}});
        return;
    }
    KimiHookDebugLog::append("kimi_lever_sync_" + std::string(label),
                             Json{{"bytes", static_cast<int64_t>(text.size())},
                                  {"reloadHint", "kimi_reload_slash_same_session_ok"}});
}

}  // namespace

std::string configPath(const std::string& home) { return files::join(home, ".kimi/config.toml"); }

std::string snapshotPath(const std::string& home) { return configPath(home) + ".vemlo.lever0.bak"; }

std::string replaceOrInsertDefaultYolo(std::string_view text, std::string_view templateLine) {
    const icu::RegexPattern* pattern = keyPattern();
    // ICU indexes strings with 32-bit integers; no configuration comes near that size.
    if (!pattern || text.size() > INT32_MAX || templateLine.size() > INT32_MAX)
        return prependTemplate(text, templateLine);

    UErrorCode status = U_ZERO_ERROR;
    const icu::UnicodeString subject =
        icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    const icu::UnicodeString replacement =
        icu::UnicodeString::fromUTF8(icu::StringPiece(templateLine.data(), static_cast<int32_t>(templateLine.size())));
    std::unique_ptr<icu::RegexMatcher> matcher(pattern->matcher(subject, status));
    if (U_FAILURE(status) || !matcher) return prependTemplate(text, templateLine);

    // The template is inserted literally, whatever characters it holds.
    icu::UnicodeString out;
    int32_t copied = 0;
    bool matched = false;
    while (matcher->find(status) && U_SUCCESS(status)) {
        const int32_t start = matcher->start(status);
        const int32_t end = matcher->end(status);
        if (U_FAILURE(status)) break;
        out.append(subject, copied, start - copied);
        out.append(replacement);
        copied = end;
        matched = true;
    }
    if (matched && U_SUCCESS(status)) {
        out.append(subject, copied, subject.length() - copied);
        std::string result;
        out.toUTF8String(result);
        return result;
    }
    if (text::trimWhitespaceAndNewlines(text).empty()) return std::string(templateLine) + "\n";
    return prependTemplate(text, templateLine);
}

void enableYoloInConfig(const std::string& home) {
    const std::string config = configPath(home);
    if (!files::exists(config)) {
        writeStderr("KimiConfigLeverSync: 未找到 " + config + "，跳过。\n");
        KimiHookDebugLog::append("kimi_lever_sync_missing_config", Json{{"path", config}});
        return;
    }
    SyncLock lock(home, kLockName);
    const std::string snapshot = snapshotPath(home);
    // An existing snapshot is kept: it holds the configuration from before the automatic period began.
    if (!files::exists(snapshot)) {
        if (const std::optional<std::string> error = copyToNewFile(config, snapshot)) {
            writeStderr("KimiConfigLeverSync: 备份失败 " + *error + "\n");
            KimiHookDebugLog::append("kimi_lever_sync_backup_failed", Json{{"error", *error}});
        } else {
            KimiHookDebugLog::append("kimi_lever_sync_backup_created", Json{{"to", snapshot}});
        }
    }
    const std::optional<std::string> text = files::readFile(config);
    if (!text || !text::isValidUtf8(*text)) {
        writeStderr("KimiConfigLeverSync: 无法读取 " + config + "\n");
        return;
    }
    writeRaw(home, replaceOrInsertDefaultYolo(*text, kAutoTemplate), "enable_auto");
}

void disableDefaultYoloForManualDial(const std::string& home) {
    const std::string config = configPath(home);
    const std::string snapshot = snapshotPath(home);
    if (!files::exists(snapshot) && !files::exists(config)) return;
    SyncLock lock(home, kLockName);
    if (files::exists(snapshot)) {
        if (::unlink(snapshot.c_str()) == 0) {
            KimiHookDebugLog::append("kimi_lever_snapshot_removed_for_manual_clear");
            writeStderr(std::string(kPrefix) +
                        "removed config.toml.vemlo.lever0.bak (avoid restoring old default_yolo=true)\n");
        } else {
            writeStderr("KimiConfigLeverSync: 无法删除快照 " + errorText(errno) + "\n");
        }
    }
    const std::optional<std::string> text = files::readFile(config);
    if (!text || !text::isValidUtf8(*text)) return;
    writeRaw(home, replaceOrInsertDefaultYolo(*text, kManualTemplate), "disable_manual");
    writeStderr(std::string(kPrefix) + "default_yolo=false on dial manual; run /reload in Kimi.\n");
    writeStderr(std::string(kPrefix) +
                "note: kimi ORs persisted session YOLO (e.g. after /yolo) with config — if reload still shows "
                "yolo, toggle /yolo off once or use a fresh session.\n");
}

Json diagnosticSnapshotForLog(const std::string& home) {
    Json snapshot = KimiConfigDiagnostic::snapshotForLog(home);
    snapshot["leverSnapshotBakExists"] = files::exists(snapshotPath(home));
    return snapshot;
}

void enableYoloInConfig() { enableYoloInConfig(files::homeDirectory()); }
void disableDefaultYoloForManualDial() { disableDefaultYoloForManualDial(files::homeDirectory()); }
Json diagnosticSnapshotForLog() { return diagnosticSnapshotForLog(files::homeDirectory()); }

}  // namespace vemlo::KimiConfigLeverSync
