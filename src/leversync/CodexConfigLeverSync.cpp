#include "leversync/CodexConfigLeverSync.h"

#include "leversync/SyncLock.h"
#include "platform/Files.h"
#include "platform/Text.h"

#include <unicode/regex.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <memory>
#include <vector>

namespace vemlo::CodexConfigLeverSync {
namespace {

constexpr const char* kLockName = "codex-config.lock";

bool isNewline(UChar32 c) {
    return c == 0x0A || c == 0x0B || c == 0x0C || c == 0x0D || c == 0x85 || c == 0x2028 || c == 0x2029;
}

bool isBlank(UChar32 c) { return c == 0x09 || u_charType(c) == U_SPACE_SEPARATOR; }

// Every newline character ends a line on its own, so CR LF yields an empty line between the two.
// Terminators are dropped: the file is joined again with LF only.
std::vector<std::string_view> splitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    const auto* s = reinterpret_cast<const uint8_t*>(text.data());
    const auto length = static_cast<int32_t>(text.size());
    int32_t lineStart = 0;
    int32_t i = 0;
    while (i < length) {
        const int32_t at = i;
        UChar32 c;
        U8_NEXT(s, i, length, c);
        if (isNewline(c)) {
            lines.push_back(text.substr(static_cast<size_t>(lineStart), static_cast<size_t>(at - lineStart)));
            lineStart = i;
        }
    }
    lines.push_back(text.substr(static_cast<size_t>(lineStart)));
    return lines;
}

std::string_view trimBlanks(std::string_view line) {
    const auto* s = reinterpret_cast<const uint8_t*>(line.data());
    const auto length = static_cast<int32_t>(line.size());
    int32_t start = 0;
    while (start < length) {
        int32_t next = start;
        UChar32 c;
        U8_NEXT(s, next, length, c);
        if (c < 0 || !isBlank(c)) break;
        start = next;
    }
    int32_t end = length;
    while (end > start) {
        int32_t prev = end;
        UChar32 c;
        U8_PREV(s, start, prev, c);
        if (c < 0 || !isBlank(c)) break;
        end = prev;
    }
    return line.substr(static_cast<size_t>(start), static_cast<size_t>(end - start));
}

bool isTableHeader(std::string_view line) {
    std::string_view trimmed = trimBlanks(line);
    return !trimmed.empty() && trimmed.front() == '[';
}

// Compiled once; a RegexPattern may hand out matchers to several threads at once.
const icu::RegexPattern* keyPattern() {
    static const std::unique_ptr<icu::RegexPattern> pattern = [] {
        UErrorCode status = U_ZERO_ERROR;
        UParseError parseError{};
        std::unique_ptr<icu::RegexPattern> p(
            icu::RegexPattern::compile(icu::UnicodeString(u"^\\s*approval_policy\\s*="), 0, parseError, status));
        if (U_FAILURE(status)) p.reset();
        return p;
    }();
    return pattern.get();
}

bool matchesKey(const icu::RegexPattern& pattern, std::string_view line) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::UnicodeString subject =
        icu::UnicodeString::fromUTF8(icu::StringPiece(line.data(), static_cast<int32_t>(line.size())));
    std::unique_ptr<icu::RegexMatcher> matcher(pattern.matcher(subject, status));
    if (U_FAILURE(status) || !matcher) return false;
    const bool found = matcher->find(status);
    return U_SUCCESS(status) && found;
}

std::string joinLines(const std::vector<std::string_view>& lines) {
    std::string out;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i > 0) out += '\n';
        out += lines[i];
    }
    return out;
}

}  // namespace

std::string targetLine(bool switchStateAuto) {
    return switchStateAuto ? R"(approval_policy = "never")" : R"(approval_policy = "on-request")";
}

std::string configPath(const std::string& home) { return files::join(home, ".codex/config.toml"); }

std::optional<std::string> rewrite(std::string_view text, bool switchStateAuto) {
    if (!text::isValidUtf8(text)) return std::nullopt;
    // Without the pattern no line can be recognised, and inserting blindly could duplicate the key.
    const icu::RegexPattern* pattern = keyPattern();
    if (!pattern) return std::nullopt;

    const std::string target = targetLine(switchStateAuto);
    std::vector<std::string_view> lines = splitLines(text);
    size_t headerIndex = lines.size();
    for (size_t i = 0; i < lines.size(); ++i) {
        if (isTableHeader(lines[i])) {
            headerIndex = i;
            break;
        }
    }
    for (size_t i = 0; i < headerIndex; ++i) {
        if (!matchesKey(*pattern, lines[i])) continue;
        if (trimBlanks(lines[i]) == target) return std::nullopt;
        // The whole line goes, trailing comment included: keeping a comment that described the old
        // value would mislead whoever reads the file next.
        lines[i] = target;
        return joinLines(lines);
    }
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(headerIndex), target);
    return joinLines(lines);
}

void apply(bool switchStateAuto, const std::string& home) {
    const std::string path = configPath(home);
    // Checked before locking so that a machine without Codex never gets our lock folder.
    if (!files::exists(path)) return;
    SyncLock lock(home, kLockName);
    const std::optional<std::string> current = files::readFile(path);
    if (!current) return;
    const std::optional<std::string> next = rewrite(*current, switchStateAuto);
    if (!next) return;
    files::atomicWrite(path, *next);
}

// Qualified: an unqualified call would also find std::apply through the std::string argument.
void apply(bool switchStateAuto) { CodexConfigLeverSync::apply(switchStateAuto, files::homeDirectory()); }

}  // namespace vemlo::CodexConfigLeverSync
