#include "hook/Diagnostics.h"

#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Text.h"

#include <cstdio>

namespace vemlo::HookSupport {

void appendLine(std::string_view line, const std::string& path) {
    if (!text::isValidUtf8(line)) return;
    (void)files::appendToFile(path, line);
}

DiagnosticTimestampFormatter::DiagnosticTimestampFormatter() { ::tzset(); }

std::string DiagnosticTimestampFormatter::string(std::time_t time) const {
    std::tm local{};
    if (!::localtime_r(&time, &local)) return {};
    char buffer[64];
    int n = std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d", local.tm_year + 1900,
                          local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

std::string DiagnosticTimestampFormatter::now() const { return string(std::time(nullptr)); }

const DiagnosticTimestampFormatter& diagnosticTimestampFormatter() {
    static const DiagnosticTimestampFormatter formatter;
    return formatter;
}

std::string diagnosticsDirectory() { return paths::diagnosticsFolder(files::homeDirectory()); }

void appendDiagnosticsRecord(std::string_view fileName, const Json& record) {
    const std::string home = files::homeDirectory();
    if (!paths::createDiagnosticsFolder(home)) return;
    std::string line = json::dumpCompact(record);
    if (line.empty()) return;
    line += '\n';
    appendLine(line, paths::diagnosticsFile(home, fileName));
}

}  // namespace vemlo::HookSupport
