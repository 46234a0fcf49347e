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

#include <algorithm>
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

// toml++ 3.3.0 reaches __builtin_unreachable() when it asks whether a code point in U+2DCE..U+31C7
// (kana, CJK punctuation; U+3000 excepted) is white space, which it does at the start of a line and
// after a line-ending backslash in a string. It is handed private-use stand-ins of the same UTF-8
// length instead, treated alike everywhere outside strings, and string values are mapped back.
constexpr char32_t kTroubleFirst = 0x2DCE;
constexpr char32_t kTroubleLast = 0x31C7;
constexpr char32_t kIdeographicSpace = 0x3000;
constexpr char32_t kStandInFirst = 0xE000;
constexpr char32_t kStandInLast = kStandInFirst + (kTroubleLast - kTroubleFirst);

char32_t threeByteCodePoint(std::string_view s, size_t i) {
    return (char32_t(s[i] & 0x0F) << 12) | (char32_t(s[i + 1] & 0x3F) << 6) | char32_t(s[i + 2] & 0x3F);
}

void putThreeBytes(std::string& s, size_t i, char32_t c) {
    s[i] = static_cast<char>(0xE0 | (c >> 12));
    s[i + 1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    s[i + 2] = static_cast<char>(0x80 | (c & 0x3F));
}

bool isContinuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// Calls `visit` with the position and value of every three-byte code point.
template <typename F>
void forThreeByteCodePoints(std::string& s, F visit) {
    for (size_t i = 0; i + 2 < s.size(); ++i) {
        if ((static_cast<unsigned char>(s[i]) & 0xF0) != 0xE0 || !isContinuation(s[i + 1]) || !isContinuation(s[i + 2]))
            continue;
        visit(i, threeByteCodePoint(s, i));
        i += 2;
    }
}

bool isTrouble(char32_t c) { return c >= kTroubleFirst && c <= kTroubleLast && c != kIdeographicSpace; }
bool isStandIn(char32_t c) { return c >= kStandInFirst && c <= kStandInLast; }

// The text toml++ may read: `text` with its trouble code points moved to the stand-ins. Nothing when
// it holds stand-ins of its own as well, since the move could then not be undone.
std::optional<std::string> readable(std::string_view text, bool* moved = nullptr) {
    std::string copy(text);
    bool trouble = false;
    bool standIns = false;
    forThreeByteCodePoints(copy, [&](size_t i, char32_t c) {
        if (isTrouble(c)) {
            trouble = true;
            putThreeBytes(copy, i, c - kTroubleFirst + kStandInFirst);
        }
        standIns = standIns || isStandIn(c);
    });
    if (trouble && standIns) return std::nullopt;
    if (moved) *moved = trouble;
    return copy;
}

void moveStandInsBack(std::string& s) {
    forThreeByteCodePoints(s, [&](size_t i, char32_t c) {
        if (isStandIn(c)) putThreeBytes(s, i, c - kStandInFirst + kTroubleFirst);
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
                    std::string key(name.str());
                    std::string text = s->get();
                    if (impl_->moved) {
                        moveStandInsBack(key);
                        moveStandInsBack(text);
                    }
                    t.strings.emplace(std::move(key), std::move(text));
                }
        }
        return out;
    }
    out.kind = TopLevel::Kind::value;
    out.emptyArray = array && array->empty();
    return out;
}

}  // namespace vemlo::toml
