// The Codex configuration edit: either the file stays as it is, or exactly one line is replaced by
// or inserted as the target line at the top level, every other line kept byte for byte.
#include "FuzzCheck.h"
#include "leversync/CodexConfigLeverSync.h"

#include <cstdint>
#include <string>
#include <vector>

using namespace vemlo;

namespace {

// Once a rewrite was produced, the text holds no Unicode line break, so these are all its line ends.
std::vector<std::string_view> lines(std::string_view text, std::string_view ends) {
    std::vector<std::string_view> out;
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (ends.find(text[i]) == std::string_view::npos) continue;
        out.push_back(text.substr(start, i - start));
        start = i + 1;
    }
    out.push_back(text.substr(start));
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const bool lever0 = data[0] & 1;
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::optional<std::string> out = CodexConfigLeverSync::rewrite(text, lever0);
    if (!out) return 0;
    const std::string target = CodexConfigLeverSync::targetLine(lever0);

    const std::vector<std::string_view> before = lines(text, std::string_view("\n\r\v\f", 4));
    const std::vector<std::string_view> after = lines(*out, "\n");
    if (after.size() == before.size()) {
        size_t changed = 0;
        for (size_t i = 0; i < after.size(); ++i) {
            if (after[i] == before[i]) continue;
            FUZZ_CHECK(after[i] == target);
            ++changed;
        }
        FUZZ_CHECK(changed == 1);
    } else {
        FUZZ_CHECK(after.size() == before.size() + 1);
        size_t at = 0;
        while (at < before.size() && after[at] == before[at]) ++at;
        FUZZ_CHECK(after[at] == target);
        for (size_t i = at; i < before.size(); ++i) FUZZ_CHECK(after[i + 1] == before[i]);
        // Inserted at the top level: directly above the first table header, or at the very end.
        FUZZ_CHECK(at == before.size() || before[at].find('[') != std::string_view::npos);
    }
    // The first top-level key is now the target: a second run leaves the file alone, and flipping
    // the lever twice comes back to the same text.
    FUZZ_CHECK(!CodexConfigLeverSync::rewrite(*out, lever0));
    const std::optional<std::string> flipped = CodexConfigLeverSync::rewrite(*out, !lever0);
    FUZZ_CHECK(flipped && lines(*flipped, "\n").size() == after.size());
    FUZZ_CHECK(CodexConfigLeverSync::rewrite(*flipped, lever0) == out);
    return 0;
}
