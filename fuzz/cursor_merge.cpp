// The Cursor lever syncs over any file a user may have: "cli-config.json" and "permissions.json" in
// a home directory of our own. The first input byte picks the file and whether the snapshot can be
// taken; the rest is the user's file. Checked:
// - the relaxed file is a JSON object that keeps every member of the user's object outside the keys
//   the merge owns, keeps the user's own entries of the owned list first and in order, and adds each
//   of our entries exactly once;
// - a second relaxation changes nothing, and the snapshot is the user's file byte for byte;
// - the restoration gives back the user's file byte for byte and leaves nothing of ours behind; one
//   without a relaxation before it changes nothing;
// - when no snapshot can be taken, the file is never rewritten.
#include "FuzzCheck.h"
#include "leversync/CursorCliLeverSync.h"
#include "leversync/CursorPermissionsJsonLeverSync.h"
#include "platform/Files.h"
#include "platform/Json.h"

#include <fcntl.h>
#include <unistd.h>
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

using namespace vemlo;
namespace fs = std::filesystem;

namespace {

struct Sync {
    const char* fileName;
    const char* owner;
    const char* label;
    void (*apply)(const std::string& home);
    void (*restore)(const std::string& home);
    // The top-level keys the merge owns; every other member is the user's.
    std::vector<std::string> ownedKeys;
};

const Sync kCli{"cli-config.json",
                "CursorCliLeverSync",
                "cli-config",
                [](const std::string& home) { CursorCliLeverSync::applyRelaxed(home); },
                [](const std::string& home) { CursorCliLeverSync::restoreIfNeeded(home); },
                {"version", "permissions", "approvalMode"}};
const Sync kPermissions{"permissions.json",
                        "CursorPermissionsJsonLeverSync",
                        "permissions.json",
                        [](const std::string& home) { CursorPermissionsJsonLeverSync::applyRelaxed(home); },
                        [](const std::string& home) { CursorPermissionsJsonLeverSync::restoreIfNeeded(home); },
                        {"terminalAllowlist"}};

// One home directory for the whole run, in memory where the machine offers it: every step fsyncs.
struct Home {
    std::string path = (::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + std::string("/cursor_merge.XXXXXX");
    Home() {
        if (!::mkdtemp(path.data())) std::abort();
    }
    ~Home() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
};

const std::string& home() {
    static const Home instance;
    return instance.path;
}

// What `action` writes to standard error; the descriptor is back in place before any check runs.
template <typename F>
std::string stderrOf(F action) {
    int fds[2];
    if (::pipe2(fds, O_NONBLOCK) != 0) std::abort();
    const int saved = ::dup(STDERR_FILENO);
    ::dup2(fds[1], STDERR_FILENO);
    action();
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    ::close(fds[1]);
    std::string out;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) out.append(buffer, static_cast<size_t>(n));
    ::close(fds[0]);
    return out;
}

std::vector<std::string> namesIn(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> stringsOf(const Json* value) {
    std::vector<std::string> out;
    if (!value || !value->is_array()) return out;
    for (const auto& element : *value)
        if (element.is_string()) out.push_back(element.get<std::string>());
    return out;
}

// Equal as JSON values: the relaxed file has every object's keys sorted, so member order cannot count.
bool same(const Json* a, const Json& b) { return a && json::dumpPrettySorted(*a) == json::dumpPrettySorted(b); }

const Json* member(const Json& object, const std::string& key) {
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

// The owned list: the user's strings first, in their order, then each of ours the user lacked.
template <typename Ours>
void checkList(const Json* relaxed, const Json* users, const Ours& ours) {
    FUZZ_CHECK(relaxed && relaxed->is_array());
    const std::vector<std::string> kept = stringsOf(users);
    FUZZ_CHECK(stringsOf(relaxed).size() == relaxed->size());
    FUZZ_CHECK(relaxed->size() >= kept.size());
    for (size_t i = 0; i < kept.size(); ++i) FUZZ_CHECK((*relaxed)[i] == kept[i]);
    size_t added = 0;
    for (std::string_view entry : ours) {
        if (std::find(kept.begin(), kept.end(), entry) != kept.end()) continue;
        FUZZ_CHECK(kept.size() + added < relaxed->size() && (*relaxed)[kept.size() + added] == std::string(entry));
        ++added;
    }
    FUZZ_CHECK(relaxed->size() == kept.size() + added);
}

// `user` is the user's object, or an empty one when the file held none.
void checkRelaxed(const Sync& sync, const std::string& text, const Json& user) {
    const std::optional<Json> relaxed = json::parseObject(text);
    FUZZ_CHECK(relaxed);
    FUZZ_CHECK(json::dumpPrettySorted(*relaxed) == text);
    const auto owned = [&](const std::string& key) {
        return std::find(sync.ownedKeys.begin(), sync.ownedKeys.end(), key) != sync.ownedKeys.end();
    };
    for (const auto& [key, value] : user.items())
        if (!owned(key)) FUZZ_CHECK(same(member(*relaxed, key), value));
    for (const auto& [key, value] : relaxed->items()) FUZZ_CHECK(owned(key) || user.contains(key));

    if (&sync == &kPermissions) {
        checkList(member(*relaxed, "terminalAllowlist"), member(user, "terminalAllowlist"),
                  CursorPermissionsJsonLeverSync::relaxedTerminalPrefixes);
        return;
    }
    const Json* approvalMode = member(*relaxed, "approvalMode");
    FUZZ_CHECK(approvalMode && *approvalMode == "auto");
    const Json* version = member(user, "version");
    FUZZ_CHECK(same(member(*relaxed, "version"), version ? *version : Json(1)));
    const Json* permissions = member(*relaxed, "permissions");
    FUZZ_CHECK(permissions && permissions->is_object());
    const Json* userPermissions = member(user, "permissions");
    const Json empty = Json::object();
    if (!userPermissions || !userPermissions->is_object()) userPermissions = &empty;
    for (const auto& [key, value] : userPermissions->items())
        if (key != "allow") FUZZ_CHECK(same(member(*permissions, key), value));
    for (const auto& [key, value] : permissions->items())
        FUZZ_CHECK(key == "allow" || key == "deny" || userPermissions->contains(key));
    if (!userPermissions->contains("deny")) FUZZ_CHECK(same(member(*permissions, "deny"), Json::array()));
    checkList(member(*permissions, "allow"), member(*userPermissions, "allow"), CursorCliLeverSync::relaxedAllow);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const Sync& sync = data[0] & 1 ? kPermissions : kCli;
    const bool backupFails = data[0] & 2;
    const std::string original(reinterpret_cast<const char*>(data) + 1, size - 1);

    const std::string cursor = files::join(home(), ".cursor");
    std::error_code ignored;
    fs::remove_all(cursor, ignored);
    FUZZ_CHECK(files::createDirectories(cursor));
    const std::string path = files::join(cursor, sync.fileName);
    const std::string snapshot = path + ".vemlo.lever0.bak";
    files::WriteOptions quick;
    quick.durable = false;
    FUZZ_CHECK(files::atomicWrite(path, original, quick));
    // Even root cannot copy a file over a directory.
    if (backupFails) FUZZ_CHECK(fs::create_directory(snapshot));
    const std::vector<std::string> before = namesIn(cursor);

    // Nothing was relaxed, so the safe direction has nothing to do.
    FUZZ_CHECK(stderrOf([&] { sync.restore(home()); }).empty());
    FUZZ_CHECK(files::readFile(path) == original);
    FUZZ_CHECK(namesIn(cursor) == before);

    const std::optional<Json> user = json::parseObject(original);
    const std::string err = stderrOf([&] { sync.apply(home()); });
    const std::optional<std::string> relaxed = files::readFile(path);
    FUZZ_CHECK(relaxed);

    if (backupFails) {
        FUZZ_CHECK(err.starts_with(std::string(sync.owner) + ": 无法备份原 " + sync.label + ": "));
        // Without a snapshot a relaxed file could never be put back, so it is not relaxed at all.
        FUZZ_CHECK(*relaxed == original);
        FUZZ_CHECK(err.find("保持原文件不动: " + path) != std::string::npos);
        FUZZ_CHECK(stderrOf([&] { sync.restore(home()); }).empty());
        FUZZ_CHECK(files::readFile(path) == original);
        FUZZ_CHECK(namesIn(cursor) == before);
        return 0;
    }

    FUZZ_CHECK(err.empty());
    checkRelaxed(sync, *relaxed, user ? *user : Json::object());
    FUZZ_CHECK(files::readFile(snapshot) == original);

    FUZZ_CHECK(stderrOf([&] { sync.apply(home()); }).empty());
    FUZZ_CHECK(files::readFile(path) == relaxed);
    FUZZ_CHECK(files::readFile(snapshot) == original);

    for (int round = 0; round < 2; ++round) {
        FUZZ_CHECK(stderrOf([&] { sync.restore(home()); }).empty());
        FUZZ_CHECK(files::readFile(path) == original);
        FUZZ_CHECK(namesIn(cursor) == before);
    }
    return 0;
}
