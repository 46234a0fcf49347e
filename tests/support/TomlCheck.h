#pragma once

#include <string_view>

namespace vemlo::test {

// Whether `text` is a TOML 1.0 document, for judging the configuration files our text edits
// produce. toml++ judges it: a complete parser that nobody here wrote, so our edits are not
// measured by a second copy of our own understanding of TOML.
bool isValidToml(std::string_view text);

}  // namespace vemlo::test
