#include "support/TomlCheck.h"

#include "platform/Text.h"

#include <cctype>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <vector>

namespace vemlo::test {
namespace {

// What a key names, enough to reject a second definition.
struct Node {
    enum class Kind { Table, TableArray, Value } kind = Kind::Table;
    bool headerDefined = false;  // by a [table] header
    bool dottedDefined = false;  // by a dotted key in a key/value pair
    std::map<std::string, std::unique_ptr<Node>> children;
    std::vector<std::unique_ptr<Node>> elements;  // of a table array
};

class Checker {
public:
    explicit Checker(std::string_view text) : s_(text) {}

    bool document() {
        Node* current = &root_;
        for (;;) {
            skipBlanks();
            if (atEnd()) return true;
            if (peek() == '[') {
                current = header();
                if (!current) return false;
            } else if (peek() != '#' && peek() != '\n' && peek() != '\r') {
                if (!keyValue(*current)) return false;
            }
            skipBlanks();
            if (!comment() || !lineEnd()) return false;
        }
    }

private:
    std::string_view s_;
    size_t p_ = 0;
    Node root_;

    bool atEnd() const { return p_ >= s_.size(); }
    char peek(size_t ahead = 0) const { return p_ + ahead < s_.size() ? s_[p_ + ahead] : '\0'; }
    bool startsWith(std::string_view prefix) const { return s_.substr(p_, prefix.size()) == prefix; }

    void skipBlanks() {
        while (peek() == ' ' || peek() == '\t') ++p_;
    }

    static bool isControl(unsigned char c) { return (c < 0x20 && c != '\t') || c == 0x7F; }

    bool newline() {
        if (peek() == '\n') {
            ++p_;
            return true;
        }
        if (peek() == '\r' && peek(1) == '\n') {
            p_ += 2;
            return true;
        }
        return false;
    }

    bool lineEnd() { return atEnd() || newline(); }

    // An optional comment up to (not including) the line end.
    bool comment() {
        if (peek() != '#') return true;
        ++p_;
        while (!atEnd() && peek() != '\n') {
            if (peek() == '\r') return peek(1) == '\n';
            if (isControl(static_cast<unsigned char>(peek()))) return false;
            ++p_;
        }
        return true;
    }

    // Blank space, newlines and comments between array elements.
    bool skipArraySpace() {
        for (;;) {
            skipBlanks();
            if (!comment()) return false;
            if (!newline()) return true;
        }
    }

    static bool isBareKeyChar(char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
    }

    bool simpleKey(std::string& out) {
        if (peek() == '"') return basicString(&out);
        if (peek() == '\'') return literalString(&out);
        const size_t start = p_;
        while (isBareKeyChar(peek())) ++p_;
        out.assign(s_.substr(start, p_ - start));
        return p_ > start;
    }

    bool key(std::vector<std::string>& parts) {
        for (;;) {
            std::string part;
            if (!simpleKey(part)) return false;
            parts.push_back(std::move(part));
            skipBlanks();
            if (peek() != '.') return true;
            ++p_;
            skipBlanks();
        }
    }

    bool escape(std::string* out) {
        ++p_;  // the backslash
        const char c = peek();
        size_t digits = 0;
        switch (c) {
        case 'b': case 't': case 'n': case 'f': case 'r': case '"': case '\\': ++p_; break;
        case 'u': digits = 4; break;
        case 'U': digits = 8; break;
        default: return false;
        }
        if (digits > 0) {
            ++p_;
            for (size_t i = 0; i < digits; ++i, ++p_)
                if (!std::isxdigit(static_cast<unsigned char>(peek()))) return false;
        }
        if (out) out->push_back('?');
        return true;
    }

    bool basicString(std::string* out) {
        ++p_;
        for (;;) {
            if (atEnd()) return false;
            const char c = peek();
            if (c == '"') {
                ++p_;
                return true;
            }
            if (c == '\\') {
                if (!escape(out)) return false;
                continue;
            }
            if (isControl(static_cast<unsigned char>(c))) return false;
            if (out) out->push_back(c);
            ++p_;
        }
    }

    bool literalString(std::string* out) {
        ++p_;
        for (;;) {
            if (atEnd()) return false;
            const char c = peek();
            if (c == '\'') {
                ++p_;
                return true;
            }
            if (isControl(static_cast<unsigned char>(c))) return false;
            if (out) out->push_back(c);
            ++p_;
        }
    }

    // """...""" and '''...''': up to two quotes may end the content right before the delimiter.
    bool multiLineString(char quote) {
        p_ += 3;
        newline();
        const std::string delimiter(3, quote);
        for (;;) {
            if (atEnd()) return false;
            if (startsWith(delimiter)) {
                p_ += 3;
                for (int extra = 0; extra < 2 && peek() == quote; ++extra) ++p_;
                return true;
            }
            if (newline()) continue;
            const char c = peek();
            if (quote == '"' && c == '\\') {
                // A backslash at the end of a line trims the line break and the blank space after it.
                size_t q = p_ + 1;
                while (q < s_.size() && (s_[q] == ' ' || s_[q] == '\t')) ++q;
                if (q < s_.size() && (s_[q] == '\n' || (s_[q] == '\r' && q + 1 < s_.size() && s_[q + 1] == '\n'))) {
                    p_ = q;
                    while (newline() || peek() == ' ' || peek() == '\t')
                        if (peek() == ' ' || peek() == '\t') ++p_;
                    continue;
                }
                if (!escape(nullptr)) return false;
                continue;
            }
            if (isControl(static_cast<unsigned char>(c))) return false;
            ++p_;
        }
    }

    bool scalarToken() {
        static const std::regex kInteger("[+-]?(0|[1-9](_?[0-9])*)");
        static const std::regex kPrefixed("0x[0-9A-Fa-f](_?[0-9A-Fa-f])*|0o[0-7](_?[0-7])*|0b[01](_?[01])*");
        static const std::regex kFloat(
            "[+-]?(0|[1-9](_?[0-9])*)((\\.[0-9](_?[0-9])*)([eE][+-]?[0-9](_?[0-9])*)?|[eE][+-]?[0-9](_?[0-9])*)");
        static const std::regex kSpecial("[+-]?(inf|nan)");
        static const std::regex kDate("[0-9]{4}-[0-9]{2}-[0-9]{2}");
        static const std::regex kDateTime("[0-9]{4}-[0-9]{2}-[0-9]{2}([Tt ][0-9]{2}:[0-9]{2}:[0-9]{2}(\\.[0-9]+)?"
                                          "([Zz]|[+-][0-9]{2}:[0-9]{2})?)?");
        static const std::regex kTime("[0-9]{2}:[0-9]{2}:[0-9]{2}(\\.[0-9]+)?");
        auto tokenChar = [](char c) { return isBareKeyChar(c) || c == '+' || c == '.' || c == ':'; };
        const size_t start = p_;
        while (tokenChar(peek())) ++p_;
        std::string token(s_.substr(start, p_ - start));
        // A date and a time may be separated by one space.
        if (std::regex_match(token, kDate) && peek() == ' ' && std::isdigit(static_cast<unsigned char>(peek(1))) &&
            std::isdigit(static_cast<unsigned char>(peek(2))) && peek(3) == ':') {
            ++p_;
            while (tokenChar(peek())) ++p_;
            token.assign(s_.substr(start, p_ - start));
        }
        if (token == "true" || token == "false") return true;
        return std::regex_match(token, kInteger) || std::regex_match(token, kPrefixed) ||
               std::regex_match(token, kFloat) || std::regex_match(token, kSpecial) ||
               std::regex_match(token, kDateTime) || std::regex_match(token, kTime);
    }

    bool array() {
        ++p_;
        for (;;) {
            if (!skipArraySpace()) return false;
            if (peek() == ']') {
                ++p_;
                return true;
            }
            if (!value()) return false;
            if (!skipArraySpace()) return false;
            if (peek() == ',') {
                ++p_;
                continue;
            }
            if (peek() != ']') return false;
        }
    }

    bool inlineTable() {
        ++p_;
        Node table;
        skipBlanks();
        if (peek() == '}') {
            ++p_;
            return true;
        }
        for (;;) {
            skipBlanks();
            if (!keyValue(table)) return false;
            skipBlanks();
            if (peek() == '}') {
                ++p_;
                return true;
            }
            if (peek() != ',') return false;
            ++p_;
        }
    }

    bool value() {
        if (startsWith("\"\"\"")) return multiLineString('"');
        if (startsWith("'''")) return multiLineString('\'');
        if (peek() == '"') return basicString(nullptr);
        if (peek() == '\'') return literalString(nullptr);
        if (peek() == '[') return array();
        if (peek() == '{') return inlineTable();
        return scalarToken();
    }

    // Dotted keys may only extend tables that dotted keys created.
    bool keyValue(Node& table) {
        std::vector<std::string> parts;
        if (!key(parts)) return false;
        skipBlanks();
        if (peek() != '=') return false;
        ++p_;
        skipBlanks();
        if (!value()) return false;
        Node* t = &table;
        for (size_t i = 0; i + 1 < parts.size(); ++i) {
            auto& child = t->children[parts[i]];
            if (!child) {
                child = std::make_unique<Node>();
                child->dottedDefined = true;
            } else if (child->kind != Node::Kind::Table || !child->dottedDefined) {
                return false;
            }
            t = child.get();
        }
        auto& leaf = t->children[parts.back()];
        if (leaf) return false;
        leaf = std::make_unique<Node>();
        leaf->kind = Node::Kind::Value;
        return true;
    }

    // A [table] or [[table array]] line; returns the table that the following pairs go into.
    Node* header() {
        const bool arrayOfTables = startsWith("[[");
        p_ += arrayOfTables ? 2 : 1;
        skipBlanks();
        std::vector<std::string> parts;
        if (!key(parts)) return nullptr;
        if (arrayOfTables ? !startsWith("]]") : peek() != ']') return nullptr;
        p_ += arrayOfTables ? 2 : 1;

        Node* t = &root_;
        for (size_t i = 0; i + 1 < parts.size(); ++i) {
            auto& child = t->children[parts[i]];
            if (!child) child = std::make_unique<Node>();
            if (child->kind == Node::Kind::Value) return nullptr;
            t = child->kind == Node::Kind::TableArray ? child->elements.back().get() : child.get();
        }
        auto& leaf = t->children[parts.back()];
        if (arrayOfTables) {
            if (!leaf) {
                leaf = std::make_unique<Node>();
                leaf->kind = Node::Kind::TableArray;
            } else if (leaf->kind != Node::Kind::TableArray) {
                return nullptr;
            }
            leaf->elements.push_back(std::make_unique<Node>());
            return leaf->elements.back().get();
        }
        if (!leaf) {
            leaf = std::make_unique<Node>();
        } else if (leaf->kind != Node::Kind::Table || leaf->headerDefined || leaf->dottedDefined) {
            return nullptr;
        }
        leaf->headerDefined = true;
        return leaf.get();
    }
};

}  // namespace

bool isValidToml(std::string_view text) {
    if (!text::isValidUtf8(text)) return false;
    Checker checker(text);
    return checker.document();
}

}  // namespace vemlo::test
