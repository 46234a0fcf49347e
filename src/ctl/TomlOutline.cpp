#include "ctl/TomlOutline.h"

#include "platform/Text.h"

namespace vemlo::ctl {
namespace {

bool isBareKeyChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

bool isScalarChar(char c) { return isBareKeyChar(c) || c == '+' || c == '.' || c == ':'; }

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Tab is the only control character TOML allows outside line ends.
bool isForbiddenControl(char c) {
    auto u = static_cast<unsigned char>(c);
    return (u < 0x20 && c != '\t') || u == 0x7f;
}

class Scanner {
public:
    explicit Scanner(std::string_view text) : s_(text) {}

    TomlOutline run() {
        TomlOutline out;
        out.ok = document(out.statements);
        if (!out.ok) out.error = "line " + std::to_string(errorLine_ + 1) + ": " + error_;
        return out;
    }

private:
    std::string_view s_;
    size_t i_ = 0;
    size_t line_ = 0;
    std::string error_;
    size_t errorLine_ = 0;

    bool fail(const char* why) { return failAt(line_, why); }
    // Constructs that run to the end of the text are reported where they began.
    bool failAt(size_t line, const char* why) {
        if (error_.empty()) {
            error_ = why;
            errorLine_ = line;
        }
        return false;
    }
    bool atEnd() const { return i_ >= s_.size(); }
    char at(size_t k = 0) const { return i_ + k < s_.size() ? s_[i_ + k] : '\0'; }
    bool startsWith(std::string_view p) const { return s_.substr(i_, p.size()) == p; }
    bool atLineEnd() const { return atEnd() || at() == '\n' || (at() == '\r' && at(1) == '\n'); }

    void skipBlank() {
        while (at() == ' ' || at() == '\t') ++i_;
    }

    bool comment() {
        while (!atLineEnd()) {
            if (isForbiddenControl(at())) return fail("control character in a comment");
            ++i_;
        }
        return true;
    }

    bool lineEnd() {
        if (atEnd()) return true;
        if (at() == '\n') {
            ++i_;
        } else if (at() == '\r' && at(1) == '\n') {
            i_ += 2;
        } else {
            return fail(at() == '\r' ? "carriage return without a line feed" : "expected the end of the line");
        }
        ++line_;
        return true;
    }

    // Blanks, comments and line ends, as allowed between the values of an array.
    bool skipSpaceInArray() {
        for (;;) {
            skipBlank();
            if (at() == '#') {
                if (!comment()) return false;
            } else if (!atEnd() && (at() == '\n' || at() == '\r')) {
                if (!lineEnd()) return false;
            } else {
                return true;
            }
        }
    }

    bool escape(std::string* out) {
        ++i_;  // the backslash
        char e = at();
        const std::string_view simple = "btnfr\"\\";
        if (auto k = simple.find(e); e != '\0' && k != std::string_view::npos) {
            if (out) *out += "\b\t\n\f\r\"\\"[k];
            ++i_;
            return true;
        }
        size_t digits = e == 'u' ? 4 : e == 'U' ? 8 : 0;
        if (digits == 0) return fail("unknown escape in a string");
        ++i_;
        unsigned long code = 0;
        for (size_t k = 0; k < digits; ++k, ++i_) {
            char h = at();
            int v = isDigit(h)               ? h - '0'
                    : (h >= 'a' && h <= 'f') ? h - 'a' + 10
                    : (h >= 'A' && h <= 'F') ? h - 'A' + 10
                                             : -1;
            if (v < 0) return fail("bad unicode escape in a string");
            code = code * 16 + static_cast<unsigned long>(v);
        }
        if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return fail("bad unicode escape in a string");
        if (out) {
            if (code < 0x80) {
                *out += static_cast<char>(code);
            } else if (code < 0x800) {
                *out += static_cast<char>(0xC0 | (code >> 6));
                *out += static_cast<char>(0x80 | (code & 0x3F));
            } else if (code < 0x10000) {
                *out += static_cast<char>(0xE0 | (code >> 12));
                *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
                *out += static_cast<char>(0x80 | (code & 0x3F));
            } else {
                *out += static_cast<char>(0xF0 | (code >> 18));
                *out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
                *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
                *out += static_cast<char>(0x80 | (code & 0x3F));
            }
        }
        return true;
    }

    // A one-line string, basic ("...") or literal ('...'); `out` receives its value.
    bool lineString(std::string* out) {
        const char quote = at();
        ++i_;
        for (;;) {
            if (atEnd() || at() == '\n' || at() == '\r') return fail("unterminated string");
            char c = at();
            if (c == quote) {
                ++i_;
                return true;
            }
            if (c == '\\' && quote == '"') {
                if (!escape(out)) return false;
                continue;
            }
            if (isForbiddenControl(c)) return fail("control character in a string");
            if (out) *out += c;
            ++i_;
        }
    }

    bool multiLineString() {
        const char quote = at();
        const std::string delimiter(3, quote);
        const size_t startLine = line_;
        i_ += 3;
        for (;;) {
            if (atEnd()) return failAt(startLine, "unterminated multi-line string");
            if (startsWith(delimiter)) {
                i_ += 3;
                // Up to two more quotes right before the delimiter belong to the content.
                for (int k = 0; k < 2 && at() == quote; ++k) ++i_;
                return true;
            }
            char c = at();
            if (c == '\n' || c == '\r') {
                if (!lineEnd()) return false;
                continue;
            }
            if (c == '\\' && quote == '"') {
                // A backslash at the end of a line joins it with the next one.
                size_t j = i_ + 1;
                while (j < s_.size() && (s_[j] == ' ' || s_[j] == '\t')) ++j;
                if (j < s_.size() && (s_[j] == '\n' || s_[j] == '\r')) {
                    i_ = j;
                    continue;
                }
                if (!escape(nullptr)) return false;
                continue;
            }
            if (isForbiddenControl(c)) return fail("control character in a string");
            ++i_;
        }
    }

    bool keyPart(std::string& part) {
        if (at() == '"' || at() == '\'') return lineString(&part);
        while (isBareKeyChar(at())) part += s_[i_++];
        return !part.empty() || fail("expected a key");
    }

    bool key(std::vector<std::string>& parts) {
        for (;;) {
            skipBlank();
            parts.emplace_back();
            if (!keyPart(parts.back())) return false;
            skipBlank();
            if (at() != '.') return true;
            ++i_;
        }
    }

    bool scalar() {
        const size_t start = i_;
        while (isScalarChar(at())) ++i_;
        // A local date-time may have a blank instead of the "T" between the date and the time.
        if (at() == ' ' && isDigit(at(1)) && i_ - start == 10 && s_[start + 4] == '-') {
            ++i_;
            while (isScalarChar(at())) ++i_;
        }
        std::string_view token = s_.substr(start, i_ - start);
        if (token.empty()) return fail("expected a value");
        std::string_view body = token;
        if (body.front() == '+' || body.front() == '-') body.remove_prefix(1);
        if (token == "true" || token == "false" || body == "inf" || body == "nan" ||
            (!body.empty() && isDigit(body.front())))
            return true;
        return fail("not a TOML value");
    }

    bool value() {
        if (startsWith("\"\"\"") || startsWith("'''")) return multiLineString();
        if (at() == '"' || at() == '\'') return lineString(nullptr);
        if (at() == '[') {
            const size_t startLine = line_;
            ++i_;
            for (;;) {
                if (!skipSpaceInArray()) return false;
                if (atEnd()) return failAt(startLine, "unterminated array");
                if (at() == ']') {
                    ++i_;
                    return true;
                }
                if (!value() || !skipSpaceInArray()) return false;
                if (at() == ',') {
                    ++i_;
                } else if (atEnd()) {
                    return failAt(startLine, "unterminated array");
                } else if (at() != ']') {
                    return fail("expected a comma or ] in an array");
                }
            }
        }
        if (at() == '{') {
            ++i_;
            skipBlank();
            if (at() == '}') {
                ++i_;
                return true;
            }
            for (;;) {
                std::vector<std::string> parts;
                if (!key(parts)) return false;
                if (at() != '=') return fail("expected = after a key");
                ++i_;
                skipBlank();
                if (!value()) return false;
                skipBlank();
                if (at() == '}') {
                    ++i_;
                    return true;
                }
                if (at() != ',') return fail("expected a comma or } in an inline table");
                ++i_;
            }
        }
        return scalar();
    }

    bool statement(std::vector<TomlStatement>& out) {
        TomlStatement st;
        st.firstLine = line_;
        if (startsWith("[[")) {
            i_ += 2;
            st.kind = TomlStatement::Kind::arrayTable;
            if (!key(st.key)) return false;
            if (!startsWith("]]")) return fail("expected ]] after a table name");
            i_ += 2;
        } else if (at() == '[') {
            ++i_;
            st.kind = TomlStatement::Kind::table;
            if (!key(st.key)) return false;
            if (at() != ']') return fail("expected ] after a table name");
            ++i_;
        } else {
            if (!key(st.key)) return false;
            if (at() != '=') return fail("expected = after a key");
            ++i_;
            skipBlank();
            const size_t start = i_;
            const bool oneLineString = (at() == '"' || at() == '\'') && !startsWith("\"\"\"") && !startsWith("'''");
            if (oneLineString) {
                std::string decoded;
                if (!lineString(&decoded)) return false;
                st.stringValue = std::move(decoded);
            } else if (!value()) {
                return false;
            }
            st.value = std::string(s_.substr(start, i_ - start));
        }
        st.lastLine = line_;
        skipBlank();
        if (at() == '#' && !comment()) return false;
        if (!lineEnd()) return false;
        out.push_back(std::move(st));
        return true;
    }

    bool document(std::vector<TomlStatement>& out) {
        if (!text::isValidUtf8(s_)) return fail("not valid UTF-8");
        while (!atEnd()) {
            skipBlank();
            if (at() == '#') {
                if (!comment() || !lineEnd()) return false;
            } else if (atLineEnd() || at() == '\r') {
                if (!lineEnd()) return false;
            } else if (!statement(out)) {
                return false;
            }
        }
        return true;
    }
};

}  // namespace

TomlOutline outlineToml(std::string_view text) { return Scanner(text).run(); }

}  // namespace vemlo::ctl
