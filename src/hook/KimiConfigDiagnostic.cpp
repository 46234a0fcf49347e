#include "hook/KimiConfigDiagnostic.h"

#include "leversync/KimiConfigLeverSync.h"
#include "platform/Files.h"
#include "platform/Text.h"

#include <unicode/regex.h>

#include <climits>
#include <memory>

namespace vemlo::KimiConfigDiagnostic {
namespace {

constexpr size_t kSnippetCharacters = 32;

const icu::RegexPattern* probePattern() {
    static const std::unique_ptr<icu::RegexPattern> pattern = [] {
        UErrorCode status = U_ZERO_ERROR;
        UParseError parseError{};
        std::unique_ptr<icu::RegexPattern> p(icu::RegexPattern::compile(
            icu::UnicodeString(u"(?m)^\\s*default_yolo\\s*=\\s*(\\S+)"), 0, parseError, status));
        if (U_FAILURE(status)) p.reset();
        return p;
    }();
    return pattern.get();
}

}  // namespace

std::optional<std::string> probeDefaultYoloValue(std::string_view text) {
    const icu::RegexPattern* pattern = probePattern();
    if (!pattern || text.size() > INT32_MAX) return std::nullopt;
    UErrorCode status = U_ZERO_ERROR;
    const icu::UnicodeString subject =
        icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    std::unique_ptr<icu::RegexMatcher> matcher(pattern->matcher(subject, status));
    if (U_FAILURE(status) || !matcher || !matcher->find(status) || U_FAILURE(status)) return std::nullopt;
    if (matcher->groupCount() < 1) return std::nullopt;
    const icu::UnicodeString value = matcher->group(1, status);
    if (U_FAILURE(status)) return std::nullopt;
    std::string out;
    value.toUTF8String(out);
    // Cut at whole user-perceived characters, so an emoji or a combining sequence is never split.
    return std::string(text::prefixGraphemes(out, kSnippetCharacters));
}

Json snapshotForLog(const std::string& home) {
    const std::string path = KimiConfigLeverSync::configPath(home);
    Json probe = Json::object();
    probe["kimiConfigPath"] = path;
    probe["kimiConfigExists"] = files::exists(path);
    probe["hookApprovalPolicy"] = "dial_writes_default_yolo_on_PreToolUse_kimi_reload_to_apply_upstream_deny_only";
    const std::optional<std::string> text = files::readFile(path);
    if (!text || !text::isValidUtf8(*text)) return probe;
    if (const std::optional<std::string> value = probeDefaultYoloValue(*text)) {
        probe["default_yolo_lineno_hint"] = "matched";
        probe["default_yolo_valueSnippet"] = *value;
    } else {
        probe["default_yolo_valueSnippet"] = nullptr;
    }
    return probe;
}

Json snapshotForLog() { return snapshotForLog(files::homeDirectory()); }

Json leverSyncSnapshotForLog(const std::string& home) {
    Json snapshot = snapshotForLog(home);
    snapshot["leverSnapshotBakExists"] = files::exists(KimiConfigLeverSync::snapshotPath(home));
    return snapshot;
}

Json leverSyncSnapshotForLog() { return leverSyncSnapshotForLog(files::homeDirectory()); }

}  // namespace vemlo::KimiConfigDiagnostic
