#include "leversync/KimiConfigLeverSync.h"

#include "leversync/SyncLock.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "platform/Toml.h"

#include <unicode/regex.h>

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

// Only blanks may stand around "=": with "\\s" there, a key line with no value took the next line
// (a table header, say) for its value, and the replacement deleted it. The value stops at every
// character where "$" sees a line end: had it run on past a form feed, the next rewrite would have
// deleted what the one before had kept behind it.
const icu::RegexPattern* keyPattern() {
    static const std::unique_ptr<icu::RegexPattern> pattern = [] {
        UErrorCode status = U_ZERO_ERROR;
        UParseError parseError{};
        std::unique_ptr<icu::RegexPattern> p(icu::RegexPattern::compile(
            icu::UnicodeString(
                u"(?m)^\\s*default_yolo[ \\t]*=[ \\t]*[^\\r\\n\\x0B\\x0C\\x{85}\\x{2028}\\x{2029}]*\\s*$"),
            0, parseError, status));
        if (U_FAILURE(status)) p.reset();
        return p;
    }();
    return pattern.get();
}

constexpr std::string_view kQuotedKey = "quoted_key";
constexpr std::string_view kMultiLineValue = "multi_line_value";
constexpr std::string_view kResultNotToml = "result_not_toml";

std::string_view lineAt(std::string_view text, size_t start) {
    const size_t end = text.find_first_of("\r\n", start);
    return text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
}

// The key pattern knows only the bare key. TOML also accepts it quoted, and inserting the template
// above a top-level "default_yolo" = ... would define the key twice, which makes the whole file
// unreadable to Kimi. Only lines before the first table header are top level; a header is taken to
// be any line that starts with "[" (a cheap reading that can stop early inside a multi-line array,
// and then merely falls back to inserting).
bool hasQuotedTopLevelKey(std::string_view text) {
    constexpr std::string_view kDoubleQuoted = "\"default_yolo\"";
    constexpr std::string_view kSingleQuoted = "'default_yolo'";
    for (size_t start = 0; start < text.size();) {
        std::string_view line = lineAt(text, start);
        start += line.size() + 1;
        const size_t first = line.find_first_not_of(" \t");
        if (first == std::string_view::npos) continue;
        line.remove_prefix(first);
        if (line.front() == '[') return false;
        if (!line.starts_with(kDoubleQuoted) && !line.starts_with(kSingleQuoted)) continue;
        const size_t next = line.find_first_not_of(" \t", kDoubleQuoted.size());
        if (next != std::string_view::npos && line[next] == '=') return true;
    }
    return false;
}

// Whether a value that begins on a key line goes on below it: a multi-line string left open, or an
// array or inline table whose brackets do not close on the line. The key pattern replaces the key
// line only, so the rest of such a value would be left behind as lines TOML cannot read.
bool valueContinuesBelow(std::string_view value) {
    for (std::string_view delimiter : {std::string_view(R"(""")"), std::string_view("'''")})
        if (value.starts_with(delimiter)) return value.find(delimiter, delimiter.size()) == std::string_view::npos;
    int depth = 0;
    for (size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (c == '#') break;
        if (c == '"' || c == '\'') {
            // A one-line string: brackets and "#" inside it do not count. Only basic strings escape.
            for (++i; i < value.size() && value[i] != c; ++i)
                if (c == '"' && value[i] == '\\') ++i;
        } else if (c == '[' || c == '{') {
            ++depth;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return depth > 0;
}

// The value in a key pattern match: what follows "=" and the white space after it, up to the line end.
std::string_view matchedValue(std::string_view match) {
    const size_t equals = match.find('=');
    if (equals == std::string_view::npos) return {};
    const size_t start = match.find_first_not_of(" \t\r\n", equals + 1);
    return start == std::string_view::npos ? std::string_view() : lineAt(match, start);
}

Rewrite prependTemplate(std::string_view text, std::string_view templateLine) {
    if (hasQuotedTopLevelKey(text)) return {std::nullopt, kQuotedKey};
    std::string out(templateLine);
    out += "\n\n";
    out += text;
    return {std::move(out), {}};
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

// A file that Kimi reads today is worth more than following the lever: when the rewrite would break
// it, the file stays as it is and Kimi keeps its current `default_yolo`.
void applyRewrite(const std::string& home, const Rewrite& rewrite, std::string_view label, const Report& report) {
    if (!rewrite.text) {
        writeStderr("KimiConfigLeverSync: 未改写 " + configPath(home) + "，改写会使它不再是有效的 TOML（" +
                    std::string(rewrite.leftAlone) + "）\n");
        tell(report, "kimi_lever_sync_left_alone", Json{{"reason", rewrite.leftAlone}});
        return;
    }
    writeRaw(home, *rewrite.text, label, report);
}

}  // namespace

std::string configPath(const std::string& home) { return files::join(paths::kimiFolder(home), "config.toml"); }

std::string snapshotPath(const std::string& home) { return configPath(home) + ".vemlo.lever0.bak"; }

namespace {

Rewrite editLines(std::string_view text, std::string_view templateLine) {
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
        std::string match;
        subject.tempSubString(start, end - start).toUTF8String(match);
        if (valueContinuesBelow(matchedValue(match))) return {std::nullopt, kMultiLineValue};
        out.append(subject, copied, start - copied);
        out.append(replacement);
        copied = end;
        matched = true;
    }
    if (matched && U_SUCCESS(status)) {
        out.append(subject, copied, subject.length() - copied);
        std::string result;
        out.toUTF8String(result);
        return {std::move(result), {}};
    }
    if (text::trimWhitespaceAndNewlines(text).empty()) return {std::string(templateLine) + "\n", {}};
    return prependTemplate(text, templateLine);
}

}  // namespace

Rewrite replaceOrInsertDefaultYolo(std::string_view text, std::string_view templateLine) {
    Rewrite out = editLines(text, templateLine);
    // Whatever the line rules missed: a configuration Kimi reads today is never written unreadable.
    // The result is parsed first, since it almost always reads.
    if (out.text && !toml::parses(*out.text) && toml::parses(text)) return {std::nullopt, kResultNotToml};
    return out;
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
    if (files::exists(snapshot)) {
        if (::unlink(snapshot.c_str()) == 0) {
            tell(report, "kimi_lever_snapshot_removed_for_manual_clear");
            writeStderr(std::string(kPrefix) +
                        "removed config.toml.vemlo.lever0.bak (avoid restoring old default_yolo=true)\n");
        } else {
            writeStderr("KimiConfigLeverSync: 无法删除快照 " + errorText(errno) + "\n");
        }
    }
    const std::optional<std::string> text = files::readFile(config);
    if (!text || !text::isValidUtf8(*text)) return;
    applyRewrite(home, replaceOrInsertDefaultYolo(*text, kManualTemplate), "disable_manual", report);
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
