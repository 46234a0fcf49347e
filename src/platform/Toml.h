#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace vemlo::toml {

// The one way our editors see a TOML file: lines, each with the terminator it had ("\n", "\r\n",
// or nothing for a last line without one), so that a file is written back with the endings it
// had. Lines end at line feeds only, as the parser counts them; a carriage return stays with its line.
class Lines {
public:
    explicit Lines(std::string_view text);

    size_t size() const { return lines_.size(); }
    std::string_view content(size_t line) const { return lines_[line].content; }
    std::string_view terminator(size_t line) const { return lines_[line].terminator; }
    // "\r\n" when the file's first terminated line ends so, else "\n": what added lines end with.
    std::string_view lineEnd() const;
    // The text with lines [first, end) replaced by `with`, which brings its own terminators. A
    // replacement at the end of a text whose last line has no terminator gets one first.
    std::string replaced(size_t first, size_t end, std::string_view with) const;

private:
    struct Line {
        std::string_view content;
        std::string_view terminator;
    };
    std::string_view text_;
    std::vector<Line> lines_;
};

// Whether `text` is a TOML 1.0 document (valid UTF-8 included). Never throws.
bool parses(std::string_view text);

// One table of an array of tables: a [[name]] header and the keys below it.
struct ArrayTable {
    size_t headerLine = 0;                                    // counted from 0, as Lines counts
    std::map<std::string, std::string, std::less<>> strings;  // its own keys whose values are strings
};

// What a document holds under one of its top-level keys, and where it stands.
struct TopLevel {
    enum class Kind {
        absent,
        headerTable,    // [name] or [name.sub] headers
        dottedTable,    // name.sub = value lines
        arrayOfTables,  // [[name]] headers
        value,          // name = value, an array of inline tables included
    };
    Kind kind = Kind::absent;
    size_t firstLine = 0;  // a value: the lines its key and value span, counted from 0
    size_t lastLine = 0;
    bool emptyArray = false;         // a value: []
    std::optional<std::string> string;  // a value that is a string
    std::optional<bool> boolean;        // a value that is a boolean
    std::vector<ArrayTable> tables;     // arrayOfTables, in the order of the text
};

// A document read with a complete TOML parser, for edits that must know where things stand.
class Document {
public:
    explicit Document(std::string_view text);
    ~Document();
    Document(Document&&) noexcept;
    Document& operator=(Document&&) noexcept;

    bool ok() const;
    // Why the text is not TOML, as "line N: reason" (N counted from 1); empty when ok().
    const std::string& error() const;
    // The lines holding a table header, [name] or [[name]], in the order of the text.
    const std::vector<size_t>& headerLines() const;
    // Absent for a document that is not ok().
    TopLevel topLevel(std::string_view key) const;

    // Whether both documents read and hold the same data under every top-level key but `key`.
    bool sameExcept(const Document& other, std::string_view key) const;
    // Whether the arrays under the top-level `key` hold the same elements once the elements at
    // `skip` and `otherSkip` are taken out; a missing key counts as an empty array.
    bool sameArrayWithout(std::string_view key, const std::vector<size_t>& skip, const Document& other,
                          const std::vector<size_t>& otherSkip) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Setting one top-level key in a text, the edit placed by the parser and proven before it is
// given out: the result must read as the input does, except that `key` now holds `value`.
struct KeyEdit {
    std::optional<std::string> text;  // nothing: leave the file alone
    // With no text: "unchanged" (the key holds the value already), "input_not_toml",
    // "key_is_a_table" (a [key] table or dotted keys, which one line cannot replace) or
    // "result_not_proven" (the edited text would not read as the input with the one key changed).
    std::string_view leftAlone;
    std::string detail;  // the parser's reason for "input_not_toml"
};
enum class Place {
    aboveFirstHeader,  // directly above the first table header, or at the end
    top,               // as the first line, followed by an empty line
};
// The key's lines, a value spanning several included, become `line` (given without terminator); a
// missing key gets `line` where `place` says. `replaceEqual` rewrites a key that holds `value`
// already (to bring the line to its standard form) rather than answer "unchanged".
KeyEdit setTopLevelKey(std::string_view text, std::string_view key, std::string_view line,
                       const std::variant<bool, std::string>& value, Place place, bool replaceEqual);

}  // namespace vemlo::toml
