#include "platform/Text.h"

#include <optional>

#include <unicode/ubrk.h>
#include <unicode/uchar.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

namespace vemlo::text {

bool isValidUtf8(std::string_view bytes) {
    const auto* s = reinterpret_cast<const uint8_t*>(bytes.data());
    int32_t length = static_cast<int32_t>(bytes.size());
    if (static_cast<size_t>(length) != bytes.size()) return false;
    int32_t i = 0;
    while (i < length) {
        UChar32 c;
        U8_NEXT(s, i, length, c);
        // ICU reports ill-formed sequences, surrogates and overlong forms as a negative code point.
        if (c < 0) return false;
    }
    return true;
}

std::string_view trimCodePoints(std::string_view utf8, bool (*trimmed)(int32_t codePoint)) {
    const auto* s = reinterpret_cast<const uint8_t*>(utf8.data());
    int32_t length = static_cast<int32_t>(utf8.size());
    int32_t start = 0;
    while (start < length) {
        int32_t next = start;
        UChar32 c;
        U8_NEXT(s, next, length, c);
        if (c < 0 || !trimmed(c)) break;
        start = next;
    }
    int32_t end = length;
    while (end > start) {
        int32_t prev = end;
        UChar32 c;
        U8_PREV(s, start, prev, c);
        if (c < 0 || !trimmed(c)) break;
        end = prev;
    }
    return utf8.substr(static_cast<size_t>(start), static_cast<size_t>(end - start));
}

std::string_view trimWhitespaceAndNewlines(std::string_view utf8) {
    return trimCodePoints(utf8, [](int32_t c) -> bool { return u_isUWhiteSpace(c); });
}

namespace {

// Between two ASCII characters there is always a cluster boundary except inside CR LF, and nothing
// ASCII attaches to the character before it. So a cut whose next character is ASCII (or the end)
// can be found without ICU; only a non-ASCII byte up to and including the cut point needs the
// break iterator. Returns the cut offset, or nothing when ICU must decide.
std::optional<size_t> asciiPrefixEnd(std::string_view s, size_t count) {
    size_t pos = 0;
    for (size_t clusters = 0; clusters < count; ++clusters) {
        if (pos >= s.size()) return pos;
        if (static_cast<unsigned char>(s[pos]) >= 0x80) return std::nullopt;
        pos += (s[pos] == '\r' && pos + 1 < s.size() && s[pos + 1] == '\n') ? 2 : 1;
    }
    if (pos < s.size() && static_cast<unsigned char>(s[pos]) >= 0x80) return std::nullopt;
    return pos;
}

}  // namespace

std::string_view prefixGraphemes(std::string_view utf8, size_t count) {
    // A cluster is at least one byte, so a short enough text is already whole.
    if (utf8.size() <= count) return utf8;
    if (auto end = asciiPrefixEnd(utf8, count)) return utf8.substr(0, *end);

    UErrorCode status = U_ZERO_ERROR;
    UText* text = utext_openUTF8(nullptr, utf8.data(), static_cast<int64_t>(utf8.size()), &status);
    UBreakIterator* breaks = ubrk_open(UBRK_CHARACTER, "en_US_POSIX", nullptr, 0, &status);
    if (U_SUCCESS(status)) ubrk_setUText(breaks, text, &status);
    size_t end = utf8.size();
    if (U_SUCCESS(status)) {
        // Offsets of a UTF-8 UText are byte offsets into `utf8`.
        int32_t offset = 0;
        for (size_t i = 0; i < count && offset != UBRK_DONE; ++i) offset = ubrk_next(breaks);
        if (offset != UBRK_DONE) end = static_cast<size_t>(offset);
    } else {
        // Without break data, cutting at a code point boundary is the best that can be done.
        end = 0;
        for (size_t i = 0; i < count && end < utf8.size(); ++i) {
            int32_t next = static_cast<int32_t>(end);
            UChar32 c;
            U8_NEXT(reinterpret_cast<const uint8_t*>(utf8.data()), next, static_cast<int32_t>(utf8.size()), c);
            (void)c;
            end = static_cast<size_t>(next);
        }
    }
    ubrk_close(breaks);
    utext_close(text);
    return utf8.substr(0, end);
}

}  // namespace vemlo::text
