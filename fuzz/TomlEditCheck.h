#pragma once

// What every edit of one top-level TOML key must do, whoever placed it: the result reads as the
// input does except for the key, which now holds the target, on the lines where the parser finds it;
// every other line stays byte for byte, its terminator included; and a second run changes nothing.
#include "FuzzCheck.h"
#include "platform/Toml.h"

#include <string>
#include <string_view>

namespace vemlo::fuzz {

// The text without lines [first, last], each other line with its own terminator.
inline std::string without(std::string_view text, size_t first, size_t last) {
    const toml::Lines lines(text);
    std::string out;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i >= first && i <= last) continue;
        out += lines.content(i);
        out += lines.terminator(i);
    }
    return out;
}

template <typename Holds>
void checkKeyEdit(std::string_view input, const toml::KeyEdit& edit, std::string_view key, std::string_view line,
                  Holds holds) {
    const toml::Document before(input);
    if (!edit.text) {
        FUZZ_CHECK(edit.leftAlone == "unchanged" || edit.leftAlone == "input_not_toml" ||
                   edit.leftAlone == "key_is_a_table" || edit.leftAlone == "result_not_proven");
        FUZZ_CHECK((edit.leftAlone == "input_not_toml") == !before.ok());
        if (edit.leftAlone == "unchanged") FUZZ_CHECK(holds(before.topLevel(key)));
        return;
    }
    const toml::Document after(*edit.text);
    FUZZ_CHECK(before.ok() && after.ok());
    FUZZ_CHECK(after.sameExcept(before, key) && before.sameExcept(after, key));
    const toml::TopLevel was = before.topLevel(key);
    const toml::TopLevel now = after.topLevel(key);
    FUZZ_CHECK(holds(now) && now.firstLine == now.lastLine);
    const std::string_view written = toml::Lines(*edit.text).content(now.firstLine);
    FUZZ_CHECK(written == line || written == "\xEF\xBB\xBF" + std::string(line));  // after a byte order mark
    // Everything else is the input's own text, line ends included. An inserted line brings an
    // empty line below it (at the top), or a line end to a last line that had none (at the end).
    const bool replaced = was.kind == toml::TopLevel::Kind::value;
    const std::string rest = replaced ? without(input, was.firstLine, was.lastLine) : std::string(input);
    const std::string restAfter = without(*edit.text, now.firstLine, now.lastLine);
    const std::string eol(toml::Lines(input).lineEnd());
    FUZZ_CHECK(restAfter == rest ||
               (!replaced && (restAfter == rest + eol || restAfter == eol + rest ||
                              (rest.starts_with("\xEF\xBB\xBF") &&
                               (restAfter == eol + rest.substr(3) || restAfter == rest.substr(3))))));
}

}  // namespace vemlo::fuzz
