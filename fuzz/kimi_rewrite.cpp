// The Kimi configuration edit: when it produces a text, that text carries the template, a second run
// changes at most the blank lines it takes around the key, a third nothing, and every non-blank line
// without the key survives in order.
#include "FuzzCheck.h"
#include "leversync/KimiConfigLeverSync.h"
#include "platform/Text.h"

#include <cctype>
#include <cstdint>
#include <string>

using namespace vemlo;

namespace {

std::string_view trimAscii(std::string_view s) {
    const size_t first = s.find_first_not_of(" \t\r\v\f");
    if (first == std::string_view::npos) return {};
    return s.substr(first, s.find_last_not_of(" \t\r\v\f") - first + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::string_view templateLine =
        data[0] & 1 ? KimiConfigLeverSync::kAutoTemplate : KimiConfigLeverSync::kManualTemplate;
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (!text::isValidUtf8(text)) return 0;  // the callers never pass anything else
    // TOML allows no control character but tab, line feed and carriage return anywhere in a file;
    // the edit only promises to keep files Kimi can read.
    // A carriage return only before a line feed. NEL, U+2028 and U+2029 are white space to the key's
    // pattern, which may take one more of them each run; they are left to the unit tests.
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7F) return 0;
        if (c == '\r' && (i + 1 == text.size() || text[i + 1] != '\n')) return 0;
    }
    for (std::string_view lineBreak : {"\xC2\x85", "\xE2\x80\xA8", "\xE2\x80\xA9"})
        if (text.find(lineBreak) != std::string_view::npos) return 0;
    const KimiConfigLeverSync::Rewrite rewrite = KimiConfigLeverSync::replaceOrInsertDefaultYolo(text, templateLine);
    if (!rewrite.text) {
        FUZZ_CHECK(rewrite.leftAlone == "quoted_key" || rewrite.leftAlone == "multi_line_value" ||
                   rewrite.leftAlone == "result_not_toml");
        return 0;
    }
    const std::string& out = *rewrite.text;
    FUZZ_CHECK(text::isValidUtf8(out));
    FUZZ_CHECK(out.find(templateLine) != std::string::npos);
    const KimiConfigLeverSync::Rewrite again = KimiConfigLeverSync::replaceOrInsertDefaultYolo(out, templateLine);
    FUZZ_CHECK(again.text);
    const auto blankless = [](std::string_view s) {
        std::string kept;
        for (char c : s)
            if (!std::isspace(static_cast<unsigned char>(c))) kept += c;
        return kept;
    };
    // Two key lines one blank line apart (a key defined twice, which TOML rejects anyway) come out
    // joined on one line, and the next run keeps one of the two templates.
    const size_t first = text.find("default_yolo");
    const bool once = first == std::string_view::npos || text.find("default_yolo", first + 1) == std::string_view::npos;
    if (once) FUZZ_CHECK(blankless(*again.text) == blankless(out));
    if (once) FUZZ_CHECK(KimiConfigLeverSync::replaceOrInsertDefaultYolo(*again.text, templateLine).text == again.text);

    size_t from = 0;
    size_t lineStart = 0;
    while (lineStart <= text.size()) {
        size_t lineEnd = text.find('\n', lineStart);
        if (lineEnd == std::string_view::npos) lineEnd = text.size();
        const std::string_view line = trimAscii(text.substr(lineStart, lineEnd - lineStart));
        // Lines of white space alone may go, Unicode white space too.
        const bool blank = text::trimWhitespaceAndNewlines(line).empty();
        if (!blank && line.find("default_yolo") == std::string_view::npos) {
            const size_t found = out.find(line, from);
            FUZZ_CHECK(found != std::string::npos);
            from = found + line.size();
        }
        lineStart = lineEnd + 1;
    }
    return 0;
}
