#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vemlo::toml {

// Whether `text` is a TOML 1.0 document (valid UTF-8 included). Our edits of the assistants' TOML
// files are line edits of the user's text; this is how they make sure a file that an assistant
// reads today still reads after the edit. Never throws.
bool parses(std::string_view text);

// One table of an array of tables: a [[name]] header and the keys below it.
struct ArrayTable {
    size_t headerLine = 0;                                    // counted from 0, as the text's lines
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
    size_t firstLine = 0;  // a value: the lines it spans, counted from 0
    size_t lastLine = 0;
    bool emptyArray = false;         // a value: []
    std::vector<ArrayTable> tables;  // arrayOfTables, in the order of the text
};

// A document read with a complete TOML parser, for edits that must know where things stand in the
// text. Lines are counted from 0 and split at line feeds, so a CR LF pair ends one line.
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

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vemlo::toml
