#include "leversync/CursorCliLeverSync.h"

#include "leversync/LeverSnapshotFile.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Text.h"

#include <algorithm>

namespace vemlo::CursorCliLeverSync {
namespace {

LeverSnapshotFile cliConfig(const std::string& home) {
    return LeverSnapshotFile(
        home, {".cursor", "cli-config.json", ".vemlo_had_no_cli_config", std::string(paths::kCursorCliConfigLock)},
        {"CursorCliLeverSync", "cli-config", "（仍返回 hook 的 permission）"});
}

// A readable rendering of any JSON value: strings as they are, everything else as compact JSON.
std::string describe(const Json& value) {
    return value.is_string() ? value.get<std::string>() : json::dumpCompact(value);
}

void relax(Json& config) {
    if (!config.contains("version")) config["version"] = 1;

    Json permissions = Json::object();
    if (auto it = config.find("permissions"); it != config.end() && it->is_object()) permissions = *it;
    auto allow = LeverSnapshotFile::stringArray(permissions.contains("allow") ? &permissions["allow"] : nullptr);
    for (std::string_view rule : relaxedAllow)
        if (std::find(allow.begin(), allow.end(), rule) == allow.end()) allow.emplace_back(rule);
    permissions["allow"] = allow;
    if (!permissions.contains("deny")) permissions["deny"] = Json::array();
    config["permissions"] = std::move(permissions);

    config["approvalMode"] = "auto";
}

}  // namespace

void applyRelaxed() { applyRelaxed(files::homeDirectory()); }
void applyRelaxed(const std::string& home) { cliConfig(home).applyRelaxed(relax); }

void restoreIfNeeded() { restoreIfNeeded(files::homeDirectory()); }
void restoreIfNeeded(const std::string& home) { cliConfig(home).restore(); }

Json diagnosticSnapshotForLog() { return diagnosticSnapshotForLog(files::homeDirectory()); }

Json diagnosticSnapshotForLog(const std::string& home) {
    const LeverSnapshotFile file = cliConfig(home);
    Json out = Json::object();
    out["userCliConfigPath"] = file.path();
    out["userCliConfigExists"] = file.fileExists();
    out["lever0SnapshotBakExists"] = file.snapshotExists();
    out["hadNoPriorCliMarkerExists"] = file.markerExists();

    const auto config = file.readObject();
    if (!config) return out;
    if (auto it = config->find("version"); it != config->end()) out["cliConfigVersion"] = *it;
    if (auto it = config->find("approvalMode"); it != config->end()) out["approvalMode"] = *it;
    if (auto it = config->find("sandbox"); it != config->end())
        out["cliConfigSandboxPreview"] = std::string(text::prefixGraphemes(describe(*it), 400));

    auto permissions = config->find("permissions");
    if (permissions == config->end() || !permissions->is_object()) return out;
    auto member = [&](const char* key) -> const Json* {
        auto it = permissions->find(key);
        return it == permissions->end() ? nullptr : &*it;
    };
    const auto allow = LeverSnapshotFile::stringArray(member("allow"));
    const auto deny = LeverSnapshotFile::stringArray(member("deny"));
    auto anyAllow = [&](auto predicate) { return std::any_of(allow.begin(), allow.end(), predicate); };
    out["permissionsAllowCount"] = allow.size();
    out["permissionsDenyCount"] = deny.size();
    out["permissionsHasShellStar"] = anyAllow([](const std::string& rule) { return rule == "Shell(*)"; });
    out["permissionsAllowHasReadStar"] = anyAllow(
        [](const std::string& rule) { return rule.starts_with("Read(") && rule.find('*') != std::string::npos; });
    out["permissionsAllowHasWriteStar"] = anyAllow(
        [](const std::string& rule) { return rule.starts_with("Write(") && rule.find('*') != std::string::npos; });
    return out;
}

}  // namespace vemlo::CursorCliLeverSync
