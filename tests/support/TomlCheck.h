#pragma once

#include <string_view>

namespace vemlo::test {

// Whether `text` is a TOML 1.0 document, for judging configuration files our text edits produce.
// Covers tables, arrays of tables, dotted and quoted keys, all four string forms, integers, floats,
// booleans, dates and times, arrays, inline tables and comments, plus the rules that catch broken
// edits: duplicate keys, tables defined twice, bare carriage returns, control characters, invalid
// UTF-8. It only answers valid or not; it builds no values.
bool isValidToml(std::string_view text);

}  // namespace vemlo::test
