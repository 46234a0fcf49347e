// The TOML reader behind our edits: any text gives an answer (toml++ 3.3.0 has undefined behaviour
// for some code points, which the reader must keep from it), the two entry points agree, and what
// it says of a document's lines is about lines the text has; a document reads as the same data as
// itself, and a text that reads keeps reading with a line appended at the top level.
#include "FuzzCheck.h"
#include "platform/Toml.h"

#include <algorithm>
#include <cstdint>
#include <string_view>

using namespace vemlo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const toml::Document doc(text);
    FUZZ_CHECK(doc.ok() == toml::parses(text));
    FUZZ_CHECK(doc.ok() == doc.error().empty());
    const size_t lines = static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
    const std::vector<size_t>& headers = doc.headerLines();
    FUZZ_CHECK(std::is_sorted(headers.begin(), headers.end()));
    FUZZ_CHECK(std::adjacent_find(headers.begin(), headers.end()) == headers.end());
    FUZZ_CHECK(headers.empty() || headers.back() < lines);
    for (const char* key : {"hooks", "a"}) {
        const toml::TopLevel top = doc.topLevel(key);
        FUZZ_CHECK(top.firstLine <= top.lastLine && top.lastLine < lines);
        for (const toml::ArrayTable& t : top.tables)
            FUZZ_CHECK(std::binary_search(headers.begin(), headers.end(), t.headerLine));
    }
    if (doc.ok() && doc.topLevel("zz_added").kind == toml::TopLevel::Kind::absent) {
        FUZZ_CHECK(doc.sameExcept(toml::Document(text), "a"));
        const toml::Lines lines(text);
        const size_t at = headers.empty() ? lines.size() : headers.front();
        const toml::Document more(lines.replaced(at, at, "zz_added = 1\n"));
        FUZZ_CHECK(more.ok() && more.sameExcept(doc, "zz_added") && !doc.sameExcept(more, "a"));
    }
    return 0;
}
