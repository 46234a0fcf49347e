#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vemlo::ctl {

// One statement of a TOML document: a table header, an array-of-tables header or a key/value pair.
struct TomlStatement {
    enum class Kind { table, arrayTable, keyValue };
    Kind kind = Kind::keyValue;
    std::vector<std::string> key;  // the dotted key, each part unquoted
    size_t firstLine = 0;          // 0-based lines the statement spans (a multi-line value spans several)
    size_t lastLine = 0;
    std::string value;                      // key/value only: the value's text as written
    std::optional<std::string> stringValue;  // key/value only: the value, when it is a one-line string
};

// The statements of a TOML document, read far enough to edit it as text without breaking it:
// strings of all four forms, arrays, inline tables, comments and line ends are followed exactly,
// scalars only loosely, and duplicate keys are not looked for. `ok` is false, with the line and a
// reason in `error`, for text that no TOML reader would accept: an unterminated string or array, a
// bare carriage return, a control character, invalid UTF-8, two statements on one line.
struct TomlOutline {
    bool ok = false;
    std::string error;
    std::vector<TomlStatement> statements;
};

TomlOutline outlineToml(std::string_view text);

}  // namespace vemlo::ctl
