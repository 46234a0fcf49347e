// The only file that includes toml++: header-only, so the static binary stays static, and without
// exceptions, so a document that is not TOML is an answer, never a throw.
#define TOML_HEADER_ONLY 1
#define TOML_EXCEPTIONS 0
// Numbers through std::from_chars rather than string streams, which would bring libstdc++'s locale
// start-up into every hook process; and no writing of TOML, which we never do.
#define TOML_FLOAT_CHARCONV 1
#define TOML_ENABLE_FORMATTERS 0
#include <toml++/toml.h>

#include "platform/Toml.h"

#include <unicode/utf8.h>

#include <algorithm>
#include <climits>
#include <optional>

namespace vemlo::toml {
namespace {

// toml++ builds and destroys a table per key part recursively, so a header of some hundred
// thousand dotted parts overflows the stack. No configuration has anything near this many dots on
// one line; with it, nesting stays in the low thousands whatever the rest of the text does.
constexpr size_t kMaxDotsPerLine = 256;

std::optional<size_t> lineWithTooManyDots(std::string_view text) {
    size_t line = 0;
    size_t dots = 0;
    for (char c : text) {
        if (c == '\n') {
            ++line;
            dots = 0;
        } else if (c == '.' && ++dots > kMaxDotsPerLine) {
            return line;
        }
    }
    return std::nullopt;
}

// toml++ 3.3.0 reaches __builtin_unreachable() when it asks whether a code point in U+00A1..U+0499
// (Latin-1 letters, Greek, Cyrillic), U+2DCE..U+31C7 (kana, CJK punctuation; U+3000 excepted) or
// U+FB26..U+FEFE (presentation forms) is white space, which it does after every character of a key,
// at the start of a line and after a line-ending backslash in a string: a bit missing from its table.
// It is handed private-use stand-ins instead, which it treats alike everywhere outside strings, and
// string values are mapped back. Only lines are read from its positions, so lengths may change.
struct Range {
    char32_t first;
    char32_t last;
    char32_t standIn;
};
constexpr Range kTrouble[] = {{0x00A1, 0x0499, 0xE000}, {0x2DCE, 0x31C7, 0xE400}, {0xFB26, 0xFEFE, 0xE800}};
constexpr char32_t kIdeographicSpace = 0x3000;
constexpr char32_t kStandInsEnd = 0xE800 + (0xFEFE - 0xFB26) + 1;

void appendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// `text` with `map` applied to each code point; bytes that are not UTF-8 pass unchanged.
template <typename F>
std::string mapCodePoints(std::string_view text, F map) {
    std::string out;
    out.reserve(text.size() + text.size() / 2);
    const auto* s = reinterpret_cast<const uint8_t*>(text.data());
    const auto length = static_cast<int32_t>(text.size());
    for (int32_t i = 0; i < length;) {
        const int32_t start = i;
        UChar32 c;
        U8_NEXT(s, i, length, c);
        if (c < 0)
            out.append(text.substr(static_cast<size_t>(start), static_cast<size_t>(i - start)));
        else
            appendUtf8(out, map(static_cast<char32_t>(c)));
    }
    return out;
}

// The text toml++ may read, or nothing when it holds stand-ins of its own beside code points that
// need them, since the move could then not be undone.
std::optional<std::string> readable(std::string_view text, bool* moved = nullptr) {
    if (text.size() > INT32_MAX) return std::nullopt;
    bool trouble = false;
    bool standIns = false;
    std::string out = mapCodePoints(text, [&](char32_t c) -> char32_t {
        standIns = standIns || (c >= kTrouble[0].standIn && c < kStandInsEnd);
        for (const Range& r : kTrouble) {
            if (c >= r.first && c <= r.last && c != kIdeographicSpace) {
                trouble = true;
                return c - r.first + r.standIn;
            }
        }
        return c;
    });
    if (trouble && standIns) return std::nullopt;
    if (moved) *moved = trouble;
    return out;
}

std::string withStandInsBack(std::string_view text) {
    return mapCodePoints(text, [](char32_t c) -> char32_t {
        for (const Range& r : kTrouble)
            if (c >= r.standIn && c <= r.standIn + (r.last - r.first)) return c - r.standIn + r.first;
        return c;
    });
}

// toml++ counts lines and columns from 1.
size_t lineOf(const ::toml::node& node) {
    const auto line = node.source().begin.line;
    return line > 0 ? static_cast<size_t>(line - 1) : 0;
}

size_t lastLineOf(const ::toml::node& node) {
    const auto line = node.source().end.line;
    return line > 0 ? static_cast<size_t>(line - 1) : lineOf(node);
}

bool isArrayOfTables(const ::toml::array& array) {
    if (array.empty()) return false;
    for (const ::toml::node& element : array) {
        const ::toml::table* table = element.as_table();
        if (!table || table->is_inline()) return false;
    }
    return true;
}

}  // namespace

struct Document::Impl {
    std::string text;
    std::vector<size_t> lineStarts;
    ::toml::parse_result result;
    std::string error;
    std::vector<size_t> headerLines;
    bool moved = false;  // code points were moved to the stand-ins

    bool startsWithBracket(size_t line) const {
        if (line >= lineStarts.size()) return false;
        const size_t at = text.find_first_not_of(" \t", lineStarts[line]);
        return at != std::string::npos && text[at] == '[';
    }

    // A table that a header declares begins at that header's "[", where one made by dotted keys
    // begins at its key. Tables inside inline tables or arrays of values have no header of their own.
    void collectHeaders(const ::toml::table& root) {
        std::vector<const ::toml::table*> pending = {&root};
        while (!pending.empty()) {
            const ::toml::table* table = pending.back();
            pending.pop_back();
            for (auto&& [key, node] : *table) {
                if (const ::toml::table* child = node.as_table(); child && !child->is_inline()) {
                    pending.push_back(child);
                } else if (const ::toml::array* array = node.as_array(); array && isArrayOfTables(*array)) {
                    for (const ::toml::node& element : *array) pending.push_back(element.as_table());
                }
            }
            if (table != &root && startsWithBracket(lineOf(*table))) headerLines.push_back(lineOf(*table));
        }
        std::sort(headerLines.begin(), headerLines.end());
        headerLines.erase(std::unique(headerLines.begin(), headerLines.end()), headerLines.end());
    }
};

bool parses(std::string_view text) {
    if (lineWithTooManyDots(text)) return false;
    const std::optional<std::string> safe = readable(text);
    return safe && static_cast<bool>(::toml::parse(*safe));
}

Document::Document(std::string_view text) : impl_(std::make_unique<Impl>()) {
    if (const std::optional<size_t> line = lineWithTooManyDots(text)) {
        impl_->error = "line " + std::to_string(*line + 1) + ": more than " + std::to_string(kMaxDotsPerLine) +
                       " dots on one line, more key parts than this reader follows";
        return;
    }
    std::optional<std::string> safe = readable(text, &impl_->moved);
    if (!safe) {
        impl_->error = "line 1: kana or CJK punctuation beside private-use characters, which this reader cannot take";
        return;
    }
    impl_->result = ::toml::parse(*safe);
    if (!impl_->result) {
        const ::toml::parse_error& e = impl_->result.error();
        impl_->error = "line " + std::to_string(e.source().begin.line) + ": " + std::string(e.description());
        return;
    }
    impl_->text = std::string(text);
    impl_->lineStarts.push_back(0);
    for (size_t at = text.find('\n'); at != std::string_view::npos; at = text.find('\n', at + 1))
        impl_->lineStarts.push_back(at + 1);
    impl_->collectHeaders(impl_->result.table());
}

Document::~Document() = default;
Document::Document(Document&&) noexcept = default;
Document& Document::operator=(Document&&) noexcept = default;

bool Document::ok() const { return impl_->error.empty(); }

const std::string& Document::error() const { return impl_->error; }

const std::vector<size_t>& Document::headerLines() const { return impl_->headerLines; }

TopLevel Document::topLevel(std::string_view key) const {
    TopLevel out;
    if (!ok()) return out;
    const ::toml::node* node = impl_->result.table().get(key);
    if (!node) return out;
    out.firstLine = lineOf(*node);
    out.lastLine = lastLineOf(*node);
    if (const ::toml::table* table = node->as_table(); table && !table->is_inline()) {
        out.kind = impl_->startsWithBracket(out.firstLine) ? TopLevel::Kind::headerTable : TopLevel::Kind::dottedTable;
        return out;
    }
    const ::toml::array* array = node->as_array();
    if (array && isArrayOfTables(*array)) {
        out.kind = TopLevel::Kind::arrayOfTables;
        for (const ::toml::node& element : *array) {
            ArrayTable& t = out.tables.emplace_back();
            t.headerLine = lineOf(element);
            for (auto&& [name, value] : *element.as_table())
                if (const auto* s = value.as_string()) {
                    if (impl_->moved)
                        t.strings.emplace(withStandInsBack(name.str()), withStandInsBack(s->get()));
                    else
                        t.strings.emplace(std::string(name.str()), s->get());
                }
        }
        return out;
    }
    out.kind = TopLevel::Kind::value;
    out.emptyArray = array && array->empty();
    return out;
}

}  // namespace vemlo::toml
