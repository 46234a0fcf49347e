#pragma once

#include <string_view>

namespace vemlo::test {

// Whether `text` is a TOML 1.0 document, for judging the configuration files our text edits
// produce. toml++ judges it: a complete parser that nobody here wrote, so our edits are not
// measured by a second copy of our own understanding of TOML. It is called straight, without the
// stand-ins src/platform/Toml gives toml++ 3.3.0 for the code points it mishandles (see there), so
// the texts judged here keep them away from line starts, keys and line-ending backslashes.
bool isValidToml(std::string_view text);

}  // namespace vemlo::test
