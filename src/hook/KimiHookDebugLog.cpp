#include "hook/KimiHookDebugLog.h"

#include "hook/HookSupport.h"
#include "platform/Files.h"
#include "platform/Paths.h"

#include <unistd.h>
#include <climits>
#include <ctime>
#include <vector>

namespace vemlo::KimiHookDebugLog {
namespace {

constexpr std::string_view kFileName = "kimi-hook-debug.log";

void writeStderr(std::string_view text) { (void)files::writeAll(STDERR_FILENO, text); }

// Empty when the working directory is gone or its path does not fit. Only its name is recorded:
// nothing is ever opened there, since a repository the assistant works in may plant links and FIFOs
// under any name.
std::string currentDirectory() {
    std::vector<char> buf(PATH_MAX + 1);
    if (::getcwd(buf.data(), buf.size()) == nullptr) return {};
    return buf.data();
}

std::string isoTimestampUtc() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    if (::gmtime_r(&now, &utc) == nullptr) return {};
    char out[32];
    const size_t n = std::strftime(out, sizeof out, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return std::string(out, n);
}

}  // namespace

std::string logFilePath() { return files::join(HookSupport::diagnosticsDirectory(), kFileName); }

void append(std::string_view event, const Json& details) {
    const std::string cwd = currentDirectory();
    std::string line;
    if (details.is_object() || details.is_null()) {
        Json record = Json::object();
        record["ts"] = isoTimestampUtc();
        record["event"] = std::string(event);
        record["pid"] = static_cast<int64_t>(::getpid());
        record["cwd"] = cwd.empty() ? Json(nullptr) : Json(cwd);
        if (details.is_object()) {
            for (const auto& [key, value] : details.items()) record[key] = value;
        }
        line = json::dumpCompact(record);
    }
    if (line.empty()) {
        writeStderr("[tesk-kimi] debug log JSON encode failed event=" + std::string(event) + "\n");
        return;
    }
    line += '\n';

    std::string error;
    if (!paths::createDiagnosticsFolder(files::homeDirectory(), &error)) {
        writeStderr("[tesk-kimi] append log failed " + error + "\n");
        return;
    }
    HookSupport::appendLine(line, logFilePath());
}

}  // namespace vemlo::KimiHookDebugLog
