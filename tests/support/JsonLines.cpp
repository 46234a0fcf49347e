#include "support/JsonLines.h"

#include "platform/Files.h"

#include <gtest/gtest.h>

namespace vemlo::test {

std::vector<Json> readJsonLines(const std::string& path) {
    std::vector<Json> records;
    const std::optional<std::string> text = files::readFile(path);
    if (!text || text->empty()) return records;
    EXPECT_EQ(text->back(), '\n') << path;
    size_t start = 0;
    for (size_t end; (end = text->find('\n', start)) != std::string::npos; start = end + 1) {
        auto record = json::parseObject(std::string_view(*text).substr(start, end - start));
        EXPECT_TRUE(record) << text->substr(start, end - start);
        if (record) records.push_back(*record);
    }
    return records;
}

std::string diagnosticsFile(const std::string& home, const std::string& name) {
    return home + "/Library/Application Support/VemloConfig/diagnostics/" + name;
}

}  // namespace vemlo::test
