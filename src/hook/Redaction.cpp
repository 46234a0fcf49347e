#include "hook/Redaction.h"

#include "platform/Text.h"

#include <algorithm>
#include <cctype>

namespace vemlo::HookSupport {
namespace {

constexpr std::string_view kRedacted = "<redacted>";

// Masking looks at this much of a command at most; a preview shows far less.
constexpr size_t kMaxScannedBytes = 64 * 1024;

bool isNameChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-'; }
bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool isQuote(char c) { return c == '"' || c == '\''; }

std::string upper(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return out;
}

// Where the value starting at `at` ends: a quoted value at its closing quote (included), any other
// at the first blank or shell separator.
size_t valueEnd(std::string_view text, size_t at) {
    if (at < text.size() && isQuote(text[at])) {
        const size_t closing = text.find(text[at], at + 1);
        return closing == std::string_view::npos ? text.size() : closing + 1;
    }
    while (at < text.size() && !isBlank(text[at]) &&
           std::string_view(";&|)}'\",").find(text[at]) == std::string_view::npos)
        ++at;
    return at;
}

// Where a header's value starting at `at` ends: the end of its line or the quote around the header.
size_t headerValueEnd(std::string_view text, size_t at) {
    while (at < text.size() && text[at] != '\n' && text[at] != '\r' && !isQuote(text[at])) ++at;
    return at;
}

std::string maskSecretValues(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    size_t at = 0;
    while (at < text.size()) {
        if (!isNameChar(text[at]) || (at > 0 && isNameChar(text[at - 1]))) {
            out += text[at++];
            continue;
        }
        size_t end = at;
        while (end < text.size() && isNameChar(text[end])) ++end;
        const std::string_view name = text.substr(at, end - at);
        size_t separator = end;
        if (separator < text.size() && isQuote(text[separator])) ++separator;  // "token": "…"
        out.append(text.substr(at, separator - at));
        at = separator;
        if (at >= text.size() || (text[at] != '=' && text[at] != ':') || !namesASecret(name)) continue;
        const bool header = text[at] == ':';
        out += text[at++];
        while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) out += text[at++];
        if (at == text.size()) break;
        const size_t valueStop = header && !isQuote(text[at]) ? headerValueEnd(text, at) : valueEnd(text, at);
        if (valueStop == at) continue;
        out += kRedacted;
        at = valueStop;
    }
    return out;
}

}  // namespace

bool namesASecret(std::string_view name) {
    const std::string up = upper(name);
    for (std::string_view word : {"KEY", "TOKEN", "SECRET", "PASSWORD", "PASSWD", "AUTH", "CREDENTIAL", "SESSION",
                                  "JWT", "COOKIE", "BEARER", "NONCE"})
        if (up.find(word) != std::string::npos) return true;
    size_t start = 0;
    while (start <= up.size()) {
        size_t stop = up.find_first_of("_-", start);
        if (stop == std::string::npos) stop = up.size();
        const std::string_view word = std::string_view(up).substr(start, stop - start);
        if (word == "PAT" || word == "PASS" || word == "PW") return true;
        start = stop + 1;
    }
    return false;
}

std::string stripUrlUserInfo(std::string_view text) {
    std::string out;
    size_t at = 0;
    for (size_t scheme; (scheme = text.find("://", at)) != std::string_view::npos;) {
        const size_t authority = scheme + 3;
        size_t hostEnd = authority;
        while (hostEnd < text.size() && !isBlank(text[hostEnd]) && !isQuote(text[hostEnd]) &&
               std::string_view("/?#").find(text[hostEnd]) == std::string_view::npos)
            ++hostEnd;
        const size_t userInfoEnd = text.substr(authority, hostEnd - authority).rfind('@');
        out.append(text.substr(at, authority - at));
        at = userInfoEnd == std::string_view::npos ? authority : authority + userInfoEnd + 1;
    }
    out.append(text.substr(at));
    return out;
}

std::string redactedCommandPreview(std::string_view command, size_t maxCharacters) {
    if (command.size() > kMaxScannedBytes) {
        size_t cut = kMaxScannedBytes;
        while (cut > 0 && (static_cast<unsigned char>(command[cut]) & 0xC0) == 0x80) --cut;  // a character's start
        command = command.substr(0, cut);
    }
    const std::string masked = maskSecretValues(stripUrlUserInfo(command));
    return std::string(text::prefixGraphemes(masked, maxCharacters));
}

}  // namespace vemlo::HookSupport
