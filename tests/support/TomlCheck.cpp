// Settings as in Toml.cpp, which the same test binaries link.
#define TOML_HEADER_ONLY 1
#define TOML_EXCEPTIONS 0
#define TOML_FLOAT_CHARCONV 1
#define TOML_ENABLE_FORMATTERS 0
#include <toml++/toml.h>

#include "support/TomlCheck.h"

namespace vemlo::test {

bool isValidToml(std::string_view text) { return static_cast<bool>(::toml::parse(text)); }

}  // namespace vemlo::test
