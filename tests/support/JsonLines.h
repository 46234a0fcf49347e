#pragma once

#include "platform/Json.h"

#include <string>
#include <vector>

namespace vemlo::test {

// The records of a JSON-lines log, none when the file is missing. Fails the calling test on a line
// that is not one JSON object, or on a last line without its line feed (a torn append).
std::vector<Json> readJsonLines(const std::string& path);

// "<home>/Library/Application Support/VemloConfig/diagnostics/<name>".
std::string diagnosticsFile(const std::string& home, const std::string& name);

}  // namespace vemlo::test
