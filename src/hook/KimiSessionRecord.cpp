#include "hook/KimiSessionRecord.h"

#include "hook/KimiConfigDiagnostic.h"
#include "leversync/KimiConfigLeverSync.h"
#include "leversync/SyncLock.h"
#include "platform/Files.h"
#include "platform/Json.h"
#include "platform/Paths.h"
#include "platform/Text.h"

#include <unistd.h>
#include <algorithm>
#include <vector>

namespace vemlo::KimiSessionRecord {
namespace {

constexpr std::string_view kFileName = "kimi-sessions.json";
constexpr std::string_view kLockName = "kimi-sessions.lock";

// The records as stored: {"<key>": {"auto": bool, "at": seconds}}. Anything else in the file is
// dropped: an unreadable file costs the records, never the hook.
Json readRecords(const std::string& home) {
    const auto text = files::readOwnFile(filePath(home));
    if (!text || text->size() > kMaxFileBytes) return Json::object();
    auto records = json::parseObject(*text);
    if (!records) return Json::object();
    Json kept = Json::object();
    for (auto& [key, value] : records->items()) {
        const Json* automatic = value.is_object() ? &value["auto"] : nullptr;
        if (automatic && automatic->is_boolean() && json::integerMember(value, "at")) kept[key] = value;
    }
    return kept;
}

}  // namespace

std::string filePath(const std::string& home) { return files::join(paths::supportFolder(home), kFileName); }

std::optional<std::string> sessionKey(const std::optional<std::string>& sessionId,
                                      const std::optional<process::ProcessInfo>& kimi) {
    if (sessionId && !sessionId->empty() && sessionId->size() <= kMaxKeyBytes && text::isValidUtf8(*sessionId))
        return "session:" + *sessionId;
    if (kimi) return "process:" + std::to_string(kimi->pid) + ":" + std::to_string(kimi->startTime);
    return std::nullopt;
}

std::optional<process::ProcessInfo> kimiProcess() {
    return process::nearestAncestor(::getppid(),
                                    [](const process::ProcessInfo& p) { return process::runsProgram(p, "kimi"); });
}

bool startedInAutoMode(const process::ProcessInfo& kimi) {
    // Kimi's spellings of yolo, and the two modes in which it approves every tool whatever yolo says.
    static const std::vector<std::string_view> kFlags = {"--yolo", "--yes", "-y", "--auto-approve", "--print",
                                                         "--afk"};
    return process::hasFlag(kimi, kFlags);
}

bool configSaysAuto(const std::string& home) {
    const auto text = files::readFile(KimiConfigLeverSync::configPath(home));
    if (!text || !text::isValidUtf8(*text)) return false;
    return KimiConfigDiagnostic::probeDefaultYoloValue(*text) == "true";
}

void record(const std::string& home, const std::string& key, bool automatic, std::time_t now) {
    if (home.empty() || !paths::createSupportFolder(home)) return;
    SyncLock lock(home, kLockName);
    Json records = readRecords(home);
    records[key] = Json{{"auto", automatic}, {"at", static_cast<int64_t>(now)}};
    // The newest kMaxSessions that are younger than kMaxAge; the one just written is the newest.
    std::vector<std::pair<int64_t, std::string>> byAge;
    for (auto& [k, value] : records.items()) byAge.emplace_back(*json::integerMember(value, "at"), k);
    std::sort(byAge.begin(), byAge.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    Json kept = Json::object();
    for (const auto& [at, k] : byAge) {
        if (kept.size() == kMaxSessions) break;
        if (k == key || (at <= now && now - at <= kMaxAge)) kept[k] = records[k];
    }
    (void)files::atomicWrite(filePath(home), json::dumpCompact(kept) + "\n", files::WriteOptions{.ownFile = true});
}

std::optional<bool> lookup(const std::string& home, const std::string& key) {
    if (home.empty()) return std::nullopt;
    const Json records = readRecords(home);
    const auto found = records.find(key);
    if (found == records.end()) return std::nullopt;
    return found->value("auto", true);
}

}  // namespace vemlo::KimiSessionRecord
