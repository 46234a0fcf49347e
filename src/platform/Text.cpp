#include "platform/Text.h"

#include <unicode/uchar.h>
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

std::string_view trimWhitespaceAndNewlines(std::string_view utf8) {
    const auto* s = reinterpret_cast<const uint8_t*>(utf8.data());
    int32_t length = static_cast<int32_t>(utf8.size());
    int32_t start = 0;
    while (start < length) {
        int32_t next = start;
        UChar32 c;
        U8_NEXT(s, next, length, c);
        if (c < 0 || !u_isUWhiteSpace(c)) break;
        start = next;
    }
    int32_t end = length;
    while (end > start) {
        int32_t prev = end;
        UChar32 c;
        U8_PREV(s, start, prev, c);
        if (c < 0 || !u_isUWhiteSpace(c)) break;
        end = prev;
    }
    return utf8.substr(static_cast<size_t>(start), static_cast<size_t>(end - start));
}

}  // namespace vemlo::text
