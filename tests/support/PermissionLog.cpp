#include "support/PermissionLog.h"

#include "platform/Files.h"

#include <gtest/gtest.h>

namespace vemlo::test {

std::vector<Json> permissionRecords(const std::string& home) {
    auto text = files::readFile(home + "/Library/Application Support/VemloConfig/diagnostics/permission-request.log");
    std::vector<Json> records;
    if (!text) return records;
    EXPECT_EQ(text->back(), '\n');
    size_t start = 0;
    for (size_t end; (end = text->find('\n', start)) != std::string::npos; start = end + 1) {
        auto record = json::parseObject(std::string_view(*text).substr(start, end - start));
        EXPECT_TRUE(record) << text->substr(start, end - start);
        if (record) records.push_back(*record);
    }
    return records;
}

}  // namespace vemlo::test
