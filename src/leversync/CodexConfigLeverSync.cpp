#include "leversync/CodexConfigLeverSync.h"

#include "leversync/SyncLock.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "platform/Toml.h"

#include <unicode/regex.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <memory>
#include <vector>

namespace vemlo::CodexConfigLeverSync {
namespace {

bool isNewline(UChar32 c) {
    return c == 0x0A || c == 0x0B || c == 0x0C || c == 0x0D || c == 0x85 || c == 0x2028 || c == 0x2029;
}

bool isBlank(int32_t c) { return c == 0x09 || u_charType(c) == U_SPACE_SEPARATOR; }

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

std::string_view trimBlanks(std::string_view line) { return text::trimCodePoints(line, isBlank); }

bool isTableHeader(std::string_view line) {
    std::string_view trimmed = trimBlanks(line);
    return !trimmed.empty() && trimmed.front() == '[';
}

std::unique_ptr<icu::RegexPattern> compile(const char16_t* source) {
    UErrorCode status = U_ZERO_ERROR;
    UParseError parseError{};
    std::unique_ptr<icu::RegexPattern> p(icu::RegexPattern::compile(icu::UnicodeString(source), 0, parseError, status));
    if (U_FAILURE(status)) p.reset();
    return p;
}

// Compiled once; a RegexPattern may hand out matchers to several threads at once.
const icu::RegexPattern* keyPattern() {
    static const std::unique_ptr<icu::RegexPattern> pattern = compile(uR"(^\s*approval_policy\s*=)");
    return pattern.get();
}

// The same key quoted, which TOML takes for the very same key.
const icu::RegexPattern* quotedKeyPattern() {
    static const std::unique_ptr<icu::RegexPattern> pattern =
        compile(uR"(^\s*("approval_policy"|'approval_policy')\s*=)");
    return pattern.get();
}

// A whole table header line, [a.b] or [[a.b]] with bare or quoted keys and an optional comment.
const icu::RegexPattern* headerShapePattern() {
    static const std::unique_ptr<icu::RegexPattern> pattern = compile(
        uR"(^\s*\[\[?\s*(?:[A-Za-z0-9_-]+|"(?:[^"\\]|\\.)*"|'[^']*'))"
        uR"((?:\s*\.\s*(?:[A-Za-z0-9_-]+|"(?:[^"\\]|\\.)*"|'[^']*'))*\s*\]\]?\s*(?:#.*)?$)");
    return pattern.get();
}

bool matches(const icu::RegexPattern& pattern, std::string_view line) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::UnicodeString subject =
        icu::UnicodeString::fromUTF8(icu::StringPiece(line.data(), static_cast<int32_t>(line.size())));
    std::unique_ptr<icu::RegexMatcher> matcher(pattern.matcher(subject, status));
    if (U_FAILURE(status) || !matcher) return false;
    const bool found = matcher->find(status);
    return U_SUCCESS(status) && found;
}

// U+0085, U+2028 and U+2029 end a line for the split, yet TOML allows them only inside strings and
// comments, as ordinary characters. Joined back with line feeds they would break such a string or
// spill a comment's tail into the document, so a file holding one is never rewritten. (VT, FF and a
// lone CR cannot occur in a valid file at all, and CR LF is meant to become two line feeds.)
bool holdsUnicodeLineBreak(std::string_view utf8) {
    for (std::string_view sequence : {"\xC2\x85", "\xE2\x80\xA8", "\xE2\x80\xA9"})
        if (utf8.find(sequence) != std::string_view::npos) return true;
    return false;
}

// The index in splitLines of the line `lineFeedLine` counts when lines end at line feeds only. A
// text that parses holds no newline but LF and CR LF (lone CR, VT and FF are not TOML, and Unicode
// line breaks are refused before), and each CR LF is one line more for splitLines.
size_t splitIndexOfLine(std::string_view text, size_t lineFeedLine) {
    size_t index = 0;
    for (size_t at = 0; at < text.size() && lineFeedLine > 0; ++at) {
        if (text[at] != '\n') continue;
        index += at > 0 && text[at - 1] == '\r' ? 2 : 1;
        --lineFeedLine;
    }
    return index;
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

namespace {

std::optional<std::string> editLines(std::string_view text, bool switchStateAuto) {
    if (!text::isValidUtf8(text)) return std::nullopt;
    if (holdsUnicodeLineBreak(text)) return std::nullopt;
    // Without the patterns no line can be recognised, and inserting blindly could duplicate the key.
    const icu::RegexPattern* key = keyPattern();
    const icu::RegexPattern* quotedKey = quotedKeyPattern();
    const icu::RegexPattern* headerShape = headerShapePattern();
    if (!key || !quotedKey || !headerShape) return std::nullopt;

    const std::string target = targetLine(switchStateAuto);
    std::vector<std::string_view> lines = splitLines(text);
    const toml::Document document(text);
    size_t headerIndex = lines.size();
    if (document.ok()) {
        // The parser knows which lines are headers: a line of a multi-line string that starts with
        // "[" is none, and the target inserted above it would land inside the user's string.
        if (!document.headerLines().empty()) headerIndex = splitIndexOfLine(text, document.headerLines().front());
    } else {
        for (size_t i = 0; i < lines.size(); ++i) {
            if (isTableHeader(lines[i])) {
                headerIndex = i;
                break;
            }
        }
    }
    for (size_t i = 0; i < headerIndex; ++i) {
        if (!matches(*key, lines[i])) continue;
        if (trimBlanks(lines[i]) == target) return std::nullopt;
        // The whole line goes, trailing comment included: keeping a comment that described the old
        // value would mislead whoever reads the file next.
        lines[i] = target;
        return joinLines(lines);
    }
    // Two files the line rules misread, where an inserted line would break what Codex reads today:
    // the key spelt quoted (a bare one beside it defines the key twice), and a first "header" that
    // is no header line, such as an element of a nested array or a line of a multi-line string
    // starting with "[" (the target would land inside that value, and a top-level key further down
    // would be defined twice). Such a file keeps its policy rather than be broken.
    for (size_t i = 0; i < headerIndex; ++i)
        if (matches(*quotedKey, lines[i])) return std::nullopt;
    if (!document.ok() && headerIndex < lines.size() && !matches(*headerShape, lines[headerIndex])) return std::nullopt;
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(headerIndex), target);
    return joinLines(lines);
}

}  // namespace

std::optional<std::string> rewrite(std::string_view text, bool switchStateAuto) {
    std::optional<std::string> out = editLines(text, switchStateAuto);
    // Whatever the line rules missed: a file Codex reads today keeps its policy rather than become
    // one Codex cannot read. The result is parsed first, since it almost always reads.
    if (out && !toml::parses(*out) && toml::parses(text)) return std::nullopt;
    return out;
}

void apply(bool switchStateAuto, const std::string& home) {
    const std::string path = configPath(home);
    // Checked before locking so that a machine without Codex never gets our lock folder.
    if (!files::exists(path)) return;
    SyncLock lock(home, paths::kCodexConfigLock);
    const std::optional<std::string> current = files::readFile(path);
    if (!current) return;
    const std::optional<std::string> next = rewrite(*current, switchStateAuto);
    if (!next) return;
    files::atomicWrite(path, *next);
}

// Qualified: an unqualified call would also find std::apply through the std::string argument.
void apply(bool switchStateAuto) { CodexConfigLeverSync::apply(switchStateAuto, files::homeDirectory()); }

}  // namespace vemlo::CodexConfigLeverSync
