// The Codex configuration edit (fuzz/TomlEditCheck.h). The first byte once chose the lever, which
// the edit no longer depends on; it is skipped so that the seeds stay what they were.
#include "TomlEditCheck.h"
#include "leversync/CodexConfigLeverSync.h"

#include <cstdint>

using namespace vemlo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
    const toml::KeyEdit edit = CodexConfigLeverSync::rewrite(text);
    fuzz::checkKeyEdit(text, edit, "approval_policy", CodexConfigLeverSync::kTargetLine,
                       [](const toml::TopLevel& t) { return t.string == "on-request"; });
    if (edit.text) FUZZ_CHECK(CodexConfigLeverSync::rewrite(*edit.text).leftAlone == "unchanged");
    return 0;
}
