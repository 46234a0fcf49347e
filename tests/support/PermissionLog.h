#pragma once

#include "platform/Json.h"

#include <string>
#include <vector>

namespace vemlo::test {

// The records of "permission-request.log" under `home`, in order; fails the running test on a line
// that is not one JSON object, so interleaved or torn appends do not go unnoticed.
std::vector<Json> permissionRecords(const std::string& home);

}  // namespace vemlo::test
