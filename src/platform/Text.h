#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vemlo::text {

bool isValidUtf8(std::string_view bytes);

// Removes Unicode white space and line ends (U+0009..U+000D, U+0020, U+0085, U+00A0, U+1680,
// U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000) from both ends. Expects valid UTF-8.
std::string_view trimWhitespaceAndNewlines(std::string_view utf8);

// Removes the code points for which `trimmed` holds from both ends. Expects valid UTF-8.
std::string_view trimCodePoints(std::string_view utf8, bool (*trimmed)(int32_t codePoint));

// The first `count` user-perceived characters (extended grapheme clusters), so a cut never splits
// an emoji sequence, a combining accent or a CR LF pair. Expects valid UTF-8.
std::string_view prefixGraphemes(std::string_view utf8, size_t count);

}  // namespace vemlo::text
