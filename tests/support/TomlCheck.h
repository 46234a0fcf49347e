#pragma once

#include <string_view>

namespace vemlo::test {

// Whether `text` is TOML 1.0, judged by toml++ itself rather than our own reader (so keep toml++ 3.3.0's
// mishandled code points away from line starts, keys and line-ending backslashes).
bool isValidToml(std::string_view text);

}  // namespace vemlo::test
