#include "hook/GeminiSession.h"

#include "leversync/GeminiPolicyFile.h"
#include "leversync/SyncLock.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/ProcessInfo.h"

#include <unistd.h>
#include <charconv>

namespace vemlo::GeminiSession {
namespace {

// A record is a few dozen bytes per running Gemini process; anything near this is not ours.
constexpr size_t kMaxRecordBytes = 256 * 1024;
constexpr size_t kMaxProcesses = 1024;

timespec startTime(uint64_t startTicks) {
    timespec real{}, boot{};
    ::clock_gettime(CLOCK_REALTIME, &real);
    ::clock_gettime(CLOCK_BOOTTIME, &boot);
    const long hz = ::sysconf(_SC_CLK_TCK) > 0 ? ::sysconf(_SC_CLK_TCK) : 100;
    // Nanoseconds since boot at the start, rounded down: a start seen as earlier only makes
    // loadedBy stricter.
    const __int128 sinceBootAtStart = static_cast<__int128>(startTicks) * 1'000'000'000 / hz;
    const __int128 sinceBootNow = static_cast<__int128>(boot.tv_sec) * 1'000'000'000 + boot.tv_nsec;
    const __int128 realNow = static_cast<__int128>(real.tv_sec) * 1'000'000'000 + real.tv_nsec;
    const __int128 at = realNow - (sinceBootNow - sinceBootAtStart);
    return timespec{static_cast<time_t>(at / 1'000'000'000), static_cast<long>(at % 1'000'000'000)};
}

Json readRecord(const std::string& home) {
    std::optional<std::string> text = files::readOwnFile(stateFile(home));
    if (!text || text->size() > kMaxRecordBytes) return Json::object();
    std::optional<Json> record = json::parseObject(*text);
    return record ? std::move(*record) : Json::object();
}

}  // namespace

std::string ProcessKey::text() const { return std::to_string(pid) + ":" + std::to_string(startTicks); }

std::string stateFile(const std::string& home) { return files::join(paths::supportFolder(home), "gemini-sessions.json"); }

Json recordStart(const Json& record, const ProcessKey& process, const std::optional<std::string>& secret,
                 bool (*alive)(const ProcessKey&), bool* first) {
    const std::string key = process.text();
    Json out = Json::object();
    if (record.is_object()) {
        for (const auto& [k, v] : record.items()) {
            if (out.size() >= kMaxProcesses) break;
            ProcessKey other;
            const size_t colon = k.find(':');
            if (colon == std::string::npos) continue;
            const char* b = k.data();
            if (std::from_chars(b, b + colon, other.pid).ec != std::errc() ||
                std::from_chars(b + colon + 1, b + k.size(), other.startTicks).ec != std::errc())
                continue;
            if (k == key || alive(other)) out[k] = v;
        }
    }
    const bool isNew = !out.contains(key);
    if (first) *first = isNew;
    if (isNew) out[key] = secret ? Json(*secret) : Json(nullptr);
    return out;
}

std::optional<std::string> secretFor(const Json& record, const ProcessKey& process) {
    if (!record.is_object()) return std::nullopt;
    auto it = record.find(process.text());
    if (it == record.end() || !it->is_string()) return std::nullopt;
    // A recorded secret that the policy could not hold is no secret.
    if (GeminiPolicyFile::secretIn(GeminiPolicyFile::text(it->get<std::string>())) != it->get<std::string>())
        return std::nullopt;
    return it->get<std::string>();
}

bool loadedBy(const timespec& modified, const timespec& processStart) {
    return modified.tv_sec < processStart.tv_sec ||
           (modified.tv_sec == processStart.tv_sec && modified.tv_nsec < processStart.tv_nsec);
}

std::optional<ProcessKey> geminiProcess(pid_t from) {
    // The hook runs under a shell or two below Gemini's node process (nodejs on some systems).
    const auto node = process::nearestAncestor(
        from, [](const process::ProcessInfo& p) { return p.comm == "node" || p.comm == "nodejs"; });
    if (!node) return std::nullopt;
    return ProcessKey{node->pid, node->startTime};
}

bool isAlive(const ProcessKey& process) {
    const auto now = process::read(process.pid);
    return now && now->startTime == process.startTicks;
}

std::optional<std::string> sessionStarted(const std::string& home, const ProcessKey& process) {
    if (home.empty() || !paths::createSupportFolder(home)) return std::nullopt;
    SyncLock lock(home, paths::kGeminiSessionsLock);
    if (!lock.held()) return std::nullopt;  // unrecorded: the process is never stamped for
    std::optional<std::string> secret;
    const std::optional<GeminiPolicyFile::Loaded> policy = GeminiPolicyFile::load(home);
    if (policy && loadedBy(policy->modified, startTime(process.startTicks)))
        secret = GeminiPolicyFile::secretIn(policy->text);
    bool first = false;
    const Json record = recordStart(readRecord(home), process, secret, isAlive, &first);
    if (!first) return secretFor(record, process);
    files::WriteOptions options;
    options.ownFile = true;
    if (!files::atomicWrite(stateFile(home), json::dumpCompact(record), options)) return std::nullopt;
    // Only a file of ours is rotated; when the rotation fails the next process loads (and is
    // recorded with) the same secret, which is still safe: the secret just lives longer.
    if (policy && GeminiPolicyFile::secretIn(policy->text)) (void)GeminiPolicyFile::writeNew(home);
    return secret;
}

std::optional<std::string> knownSecret(const std::string& home, const ProcessKey& process) {
    if (home.empty()) return std::nullopt;
    return secretFor(readRecord(home), process);
}

}  // namespace vemlo::GeminiSession
