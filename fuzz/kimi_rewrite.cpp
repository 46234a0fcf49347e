// The Kimi configuration edit (fuzz/TomlEditCheck.h): the first byte chooses the lever.
#include "TomlEditCheck.h"
#include "leversync/KimiConfigLeverSync.h"

#include <cstdint>

using namespace vemlo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const bool yolo = data[0] & 1;
    const std::string_view templateLine = yolo ? KimiConfigLeverSync::kAutoTemplate : KimiConfigLeverSync::kManualTemplate;
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
    const toml::KeyEdit edit = KimiConfigLeverSync::replaceOrInsertDefaultYolo(text, templateLine);
    FUZZ_CHECK(edit.leftAlone != "unchanged");
    // A file of blank lines becomes the template alone.
    if (edit.text && text.find_first_not_of(" \t\r\n") == std::string_view::npos) {
        FUZZ_CHECK(*edit.text == std::string(templateLine) + std::string(toml::Lines(text).lineEnd()));
        return 0;
    }
    fuzz::checkKeyEdit(text, edit, "default_yolo", templateLine,
                       [&](const toml::TopLevel& t) { return t.boolean == yolo; });
    // A second run rewrites the key's line with itself.
    if (edit.text) FUZZ_CHECK(KimiConfigLeverSync::replaceOrInsertDefaultYolo(*edit.text, templateLine).text == edit.text);
    return 0;
}
