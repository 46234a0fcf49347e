#include "leversync/CursorPermissionsJsonLeverSync.h"

#include "leversync/LeverSnapshotFile.h"
#include "platform/Files.h"
#include "platform/Paths.h"

#include <algorithm>

namespace vemlo::CursorPermissionsJsonLeverSync {
namespace {

LeverSnapshotFile permissionsJson(const std::string& home) {
    return LeverSnapshotFile(
        home,
        {".cursor", "permissions.json", ".vemlo_had_no_permissions_json", std::string(paths::kCursorPermissionsLock)},
        {"CursorPermissionsJsonLeverSync", "permissions.json", ""});
}

const Json* member(const Json& object, const char* key) {
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

// Only "terminalAllowlist" changes; "mcpAllowlist" and everything else stay as the user wrote them.
void relax(Json& permissions) {
    auto allow = LeverSnapshotFile::stringArray(member(permissions, "terminalAllowlist"));
    for (std::string_view prefix : relaxedTerminalPrefixes)
        if (std::find(allow.begin(), allow.end(), prefix) == allow.end()) allow.emplace_back(prefix);
    permissions["terminalAllowlist"] = allow;
}

}  // namespace

void applyRelaxed() { applyRelaxed(files::homeDirectory()); }
void applyRelaxed(const std::string& home) { permissionsJson(home).applyRelaxed(relax); }

void restoreIfNeeded() { restoreIfNeeded(files::homeDirectory()); }
void restoreIfNeeded(const std::string& home) { permissionsJson(home).restore(); }

Json diagnosticSnapshotForLog() { return diagnosticSnapshotForLog(files::homeDirectory()); }

Json diagnosticSnapshotForLog(const std::string& home) {
    const LeverSnapshotFile file = permissionsJson(home);
    Json out = Json::object();
    out["permissionsJsonPath"] = file.path();
    out["permissionsJsonExists"] = file.fileExists();
    out["lever0SnapshotBakExists"] = file.snapshotExists();
    out["hadNoPriorMarkerExists"] = file.markerExists();

    const auto permissions = file.readObject();
    if (!permissions) return out;
    const auto allow = LeverSnapshotFile::stringArray(member(*permissions, "terminalAllowlist"));
    auto any = [&](auto predicate) { return std::any_of(allow.begin(), allow.end(), predicate); };
    out["terminalAllowlistCount"] = allow.size();
    out["terminalAllowlistHasPrefix_cd"] =
        any([](const std::string& entry) { return entry == "cd" || entry.starts_with("cd:"); });
    out["terminalAllowlistHasPrefix_swift"] =
        any([](const std::string& entry) { return entry == "swift" || entry.starts_with("swift "); });
    out["mcpAllowlistDefined"] = permissions->contains("mcpAllowlist");
    return out;
}

}  // namespace vemlo::CursorPermissionsJsonLeverSync
