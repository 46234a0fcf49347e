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

#include "platform/Text.h"

#include <unicode/utf8.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <optional>

namespace vemlo::toml {
namespace {

// toml++ builds and destroys a table per key part recursively, so a header of some hundred
// thousand dotted parts overflows the stack. No configuration has anything near this many dots on
// one line; with it, nesting stays in the low thousands whatever the rest of the text does.
constexpr size_t kMaxDotsPerLine = 256;

// Dots inside strings and comments are no key parts, and a long line of prose in a string may hold
// many, so they are not counted. Strings are followed as TOML delimits them; a single-line one ends
// at the line end at the latest, so a misreading never hides more than the rest of one line, which
// toml++ would then find no valid key in either.
std::optional<size_t> lineWithTooManyDots(std::string_view text) {
    size_t line = 0;
    size_t dots = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\n') {
            ++line;
            dots = 0;
        } else if (c == '.') {
            if (++dots > kMaxDotsPerLine) return line;
        } else if (c == '#') {
            while (i + 1 < text.size() && text[i + 1] != '\n') ++i;
        } else if (c == '"' || c == '\'') {
            const bool basic = c == '"';
            const std::string_view triple = basic ? "\"\"\"" : "\'\'\'";
            const bool multiLine = text.substr(i, 3) == triple;
            for (i += multiLine ? 3 : 1; i < text.size(); ++i) {
                if (text[i] == '\n') {
                    if (!multiLine) break;
                    ++line;
                    dots = 0;
                } else if (basic && text[i] == '\\') {
                    if (i + 1 < text.size() && text[i + 1] == '\n') {
                        if (!multiLine) break;
                        ++line;
                        dots = 0;
                    }
                    ++i;
                } else if (multiLine ? text.substr(i, 3) == triple : text[i] == c) {
                    if (multiLine) i += 2;
                    break;
                }
            }
            if (i < text.size() && text[i] == '\n') --i;  // counted by the loop above
        }
    }
    return std::nullopt;
}

// toml++ 3.3.0 classifies code points with a table that has holes: asking whether one in
// U+00A1..U+0499, U+2C5E..U+3057 (U+3000 aside) or U+FB26..U+FEFE is white space reaches
// __builtin_unreachable(), and it asks after a key's characters, at a line start and after a
// line-ending backslash. It also takes U+0085, U+00A0, U+1680, U+180E, U+2000..U+200B, U+2028,
// U+2029, U+202F, U+205F, U+2060, U+3000 and U+FEFF for white space, which TOML 1.0 does not.
// TOML 1.0 treats every code point above U+007F alike (a character of strings and comments, an
// error anywhere else), and so does toml++ for all of them outside those two bands. So each code
// point of the bands, and the marker itself, is handed to it as two ordinary ones: the marker and
// U+F0000 plus the code point's index. Every marker in the result starts such a pair, so the
// encoding is undone without loss and two texts read alike exactly when their encodings do; no
// line feed is added, so lines stay where they were. A byte order mark at the very start is left to
// toml++, which skips it there.
constexpr char32_t kBandOneEnd = 0x3058;   // U+0080..U+3057
constexpr char32_t kBandTwo = 0xFB26;      // U+FB26..U+FEFF
constexpr char32_t kBandTwoEnd = 0xFF00;
constexpr char32_t kMarker = 0xE000;
constexpr char32_t kPayload = 0xF0000;
constexpr char32_t kBandOneSize = kBandOneEnd - 0x80;
constexpr char32_t kMarkerIndex = kBandOneSize + (kBandTwoEnd - kBandTwo);

std::optional<char32_t> indexOf(char32_t c) {
    if (c >= 0x80 && c < kBandOneEnd) return c - 0x80;
    if (c >= kBandTwo && c < kBandTwoEnd) return kBandOneSize + (c - kBandTwo);
    if (c == kMarker) return kMarkerIndex;
    return std::nullopt;
}

char32_t codePointOf(char32_t index) {
    if (index < kBandOneSize) return 0x80 + index;
    if (index < kMarkerIndex) return kBandTwo + (index - kBandOneSize);
    return kMarker;
}

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

// What toml++ reads for valid UTF-8 `text`.
std::string encoded(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 4);
    const auto* s = reinterpret_cast<const uint8_t*>(text.data());
    const auto length = static_cast<int32_t>(text.size());
    int32_t i = text.starts_with("\xEF\xBB\xBF") ? 3 : 0;
    out.append(text.substr(0, static_cast<size_t>(i)));
    while (i < length) {
        const int32_t start = i;
        UChar32 c;
        U8_NEXT(s, i, length, c);
        const std::optional<char32_t> index = indexOf(static_cast<char32_t>(c));
        if (!index) {
            out.append(text.substr(static_cast<size_t>(start), static_cast<size_t>(i - start)));
            continue;
        }
        appendUtf8(out, kMarker);
        appendUtf8(out, kPayload + *index);
    }
    return out;
}

// A key or string as toml++ read it, decoded.
std::string decoded(std::string_view text) {
    if (text.find("\xEE\x80\x80") == std::string_view::npos) return std::string(text);  // no marker
    std::string out;
    const auto* s = reinterpret_cast<const uint8_t*>(text.data());
    const auto length = static_cast<int32_t>(text.size());
    for (int32_t i = 0; i < length;) {
        const int32_t start = i;
        UChar32 c;
        U8_NEXT(s, i, length, c);
        if (static_cast<char32_t>(c) == kMarker && i < length) {
            U8_NEXT(s, i, length, c);
            appendUtf8(out, codePointOf(static_cast<char32_t>(c) - kPayload));
        } else {
            out.append(text.substr(static_cast<size_t>(start), static_cast<size_t>(i - start)));
        }
    }
    return out;
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

// The same data, whatever the text looked like: types and values alike, NaN equal to NaN. Nesting
// is bounded by the parser (TOML_MAX_NESTED_VALUES and the dots per line).
bool sameNode(const ::toml::node& a, const ::toml::node& b);

bool sameTable(const ::toml::table& a, const ::toml::table& b, std::string_view except = {}, bool skip = false) {
    size_t counted = 0;
    for (auto&& [key, node] : a) {
        if (skip && key.str() == except) continue;
        ++counted;
        const ::toml::node* other = b.get(key.str());
        if (!other || !sameNode(node, *other)) return false;
    }
    size_t otherCount = b.size();
    if (skip && b.contains(except)) --otherCount;
    return counted == otherCount;
}

bool sameNode(const ::toml::node& a, const ::toml::node& b) {
    if (a.type() != b.type()) return false;
    if (const auto* t = a.as_table()) return sameTable(*t, *b.as_table());
    if (const auto* x = a.as_array()) {
        const ::toml::array& y = *b.as_array();
        if (x->size() != y.size()) return false;
        for (size_t i = 0; i < x->size(); ++i)
            if (!sameNode(*x->get(i), *y.get(i))) return false;
        return true;
    }
    if (const auto* f = a.as_floating_point()) {
        const double x = f->get();
        const double y = b.as_floating_point()->get();
        return x == y || (std::isnan(x) && std::isnan(y));
    }
    if (const auto* v = a.as_string()) return v->get() == b.as_string()->get();
    if (const auto* v = a.as_integer()) return v->get() == b.as_integer()->get();
    if (const auto* v = a.as_boolean()) return v->get() == b.as_boolean()->get();
    if (const auto* v = a.as_date()) return v->get() == b.as_date()->get();
    if (const auto* v = a.as_time()) return v->get() == b.as_time()->get();
    if (const auto* v = a.as_date_time()) return v->get() == b.as_date_time()->get();
    return false;
}

}  // namespace

Lines::Lines(std::string_view text) : text_(text) {
    while (!text.empty()) {
        const size_t feed = text.find('\n');
        if (feed == std::string_view::npos) {
            lines_.push_back({text, {}});
            break;
        }
        const size_t end = feed > 0 && text[feed - 1] == '\r' ? feed - 1 : feed;
        lines_.push_back({text.substr(0, end), text.substr(end, feed + 1 - end)});
        text.remove_prefix(feed + 1);
    }
}

std::string_view Lines::lineEnd() const {
    return !lines_.empty() && lines_[0].terminator == "\r\n" ? "\r\n" : "\n";
}

std::string Lines::replaced(size_t first, size_t end, std::string_view with) const {
    // Each line's content and terminator lie back to back in the text.
    const auto offset = [&](size_t line) {
        return line < lines_.size() ? static_cast<size_t>(lines_[line].content.data() - text_.data()) : text_.size();
    };
    std::string out(text_.substr(0, offset(first)));
    if (first == lines_.size() && !lines_.empty() && lines_.back().terminator.empty()) out += lineEnd();
    out += with;
    out += text_.substr(offset(end));
    return out;
}

struct Document::Impl {
    std::string text;  // as toml++ read it
    Lines lines{std::string_view()};
    ::toml::parse_result result;
    std::string error;
    std::vector<size_t> headerLines;

    bool startsWithBracket(size_t line) const {
        if (line >= lines.size()) return false;
        std::string_view content = lines.content(line);
        if (line == 0 && content.starts_with("\xEF\xBB\xBF")) content.remove_prefix(3);  // a byte order mark
        const size_t at = content.find_first_not_of(" \t");
        return at != std::string_view::npos && content[at] == '[';
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

    const ::toml::array* arrayAt(std::string_view key) const {
        if (!error.empty()) return nullptr;
        const ::toml::node* node = result.table().get(key);
        return node ? node->as_array() : nullptr;
    }
};

bool parses(std::string_view text) { return Document(text).ok(); }

Document::Document(std::string_view text) : impl_(std::make_unique<Impl>()) {
    if (const std::optional<size_t> line = lineWithTooManyDots(text)) {
        impl_->error = "line " + std::to_string(*line + 1) + ": more than " + std::to_string(kMaxDotsPerLine) +
                       " dots on one line, more key parts than this reader follows";
        return;
    }
    if (text.size() > INT32_MAX || !text::isValidUtf8(text)) {
        impl_->error = "line 1: not UTF-8 text";
        return;
    }
    impl_->text = encoded(text);
    impl_->result = ::toml::parse(impl_->text);
    if (!impl_->result) {
        const ::toml::parse_error& e = impl_->result.error();
        impl_->error = "line " + std::to_string(e.source().begin.line) + ": " + decoded(e.description());
        return;
    }
    impl_->lines = Lines(impl_->text);
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
    const std::string encodedKey = encoded(key);
    const ::toml::table& root = impl_->result.table();
    const auto found = root.find(encodedKey);
    if (found == root.end()) return out;
    const ::toml::node& node = found->second;
    // A key and its value stand on one line; the value may go on below it.
    const auto keyLine = found->first.source().begin.line;
    out.firstLine = keyLine > 0 ? static_cast<size_t>(keyLine - 1) : lineOf(node);
    out.lastLine = std::max(out.firstLine, lastLineOf(node));
    if (const ::toml::table* table = node.as_table(); table && !table->is_inline()) {
        out.kind = impl_->startsWithBracket(lineOf(node)) ? TopLevel::Kind::headerTable : TopLevel::Kind::dottedTable;
        out.firstLine = out.lastLine = lineOf(node);
        return out;
    }
    const ::toml::array* array = node.as_array();
    if (array && isArrayOfTables(*array)) {
        out.kind = TopLevel::Kind::arrayOfTables;
        out.firstLine = out.lastLine = lineOf(node);
        for (const ::toml::node& element : *array) {
            ArrayTable& t = out.tables.emplace_back();
            t.headerLine = lineOf(element);
            for (auto&& [name, value] : *element.as_table())
                if (const auto* s = value.as_string()) t.strings.emplace(decoded(name.str()), decoded(s->get()));
        }
        return out;
    }
    out.kind = TopLevel::Kind::value;
    out.emptyArray = array && array->empty();
    if (const auto* s = node.as_string()) out.string = decoded(s->get());
    if (const auto* b = node.as_boolean()) out.boolean = b->get();
    return out;
}

bool Document::sameExcept(const Document& other, std::string_view key) const {
    if (!ok() || !other.ok()) return false;
    const std::string encodedKey = encoded(key);
    return sameTable(impl_->result.table(), other.impl_->result.table(), encodedKey, true);
}

bool Document::sameArrayWithout(std::string_view key, const std::vector<size_t>& skip, const Document& other,
                                const std::vector<size_t>& otherSkip) const {
    if (!ok() || !other.ok()) return false;
    const std::string encodedKey = encoded(key);
    const auto kept = [&](const Document& d, const std::vector<size_t>& without) {
        std::vector<const ::toml::node*> out;
        if (const ::toml::array* array = d.impl_->arrayAt(encodedKey))
            for (size_t i = 0; i < array->size(); ++i)
                if (std::find(without.begin(), without.end(), i) == without.end()) out.push_back(array->get(i));
        return out;
    };
    for (const Document* d : {this, &other}) {
        const ::toml::node* node = d->impl_->result.table().get(encodedKey);
        if (node && !node->is_array()) return false;
    }
    const std::vector<const ::toml::node*> a = kept(*this, skip);
    const std::vector<const ::toml::node*> b = kept(other, otherSkip);
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (!sameNode(*a[i], *b[i])) return false;
    return true;
}

KeyEdit setTopLevelKey(std::string_view text, std::string_view key, std::string_view line,
                       const std::variant<bool, std::string>& value, Place place, bool replaceEqual) {
    KeyEdit out;
    const Document before(text);
    if (!before.ok()) {
        out.leftAlone = "input_not_toml";
        out.detail = before.error();
        return out;
    }
    const TopLevel current = before.topLevel(key);
    const auto holds = [&](const TopLevel& t) {
        if (t.kind != TopLevel::Kind::value) return false;
        if (const bool* b = std::get_if<bool>(&value)) return t.boolean == *b;
        return t.string == std::get<std::string>(value);
    };
    if (holds(current) && !replaceEqual) {
        out.leftAlone = "unchanged";
        return out;
    }
    const Lines lines(text);
    const std::string eol(lines.lineEnd());
    // A byte order mark, which only the very start may hold, stays there.
    constexpr std::string_view kBom = "\xEF\xBB\xBF";
    const std::string_view bom = text.starts_with(kBom) ? kBom : std::string_view();
    std::string next;
    switch (current.kind) {
    case TopLevel::Kind::value:
        // The key's last line keeps its own terminator, or its lack of one.
        next = lines.replaced(current.firstLine, current.lastLine + 1,
                              std::string(current.firstLine == 0 ? bom : std::string_view()) + std::string(line) +
                                  std::string(lines.terminator(current.lastLine)));
        break;
    case TopLevel::Kind::absent:
        if (place == Place::top) {
            next = std::string(bom) + std::string(line) + eol + eol + std::string(text.substr(bom.size()));
        } else {
            const std::vector<size_t>& headers = before.headerLines();
            const size_t at = headers.empty() ? lines.size() : headers.front();
            next = at == 0 ? std::string(bom) + std::string(line) + eol + std::string(text.substr(bom.size()))
                           : lines.replaced(at, at, std::string(line) + eol);
        }
        break;
    default:
        out.leftAlone = "key_is_a_table";
        return out;
    }
    const Document after(next);
    if (!after.sameExcept(before, key) || !holds(after.topLevel(key))) {
        out.leftAlone = "result_not_proven";
        return out;
    }
    out.text = std::move(next);
    return out;
}

}  // namespace vemlo::toml
