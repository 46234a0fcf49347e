#include "leversync/CursorCliLeverSync.h"

#include "leversync/LeverSnapshotFile.h"
#include "platform/Files.h"

#include <algorithm>
#include <memory>
#include <unicode/brkiter.h>
#include <unicode/utext.h>

namespace vemlo::CursorCliLeverSync {
namespace {

LeverSnapshotFile cliConfig(const std::string& home) {
    return LeverSnapshotFile(home,
                             {".cursor", "cli-config.json", ".vemlo_had_no_cli_config", "cursor-cli-config.lock"},
                             {"CursorCliLeverSync", "cli-config", "（仍返回 hook 的 permission）"});
}

// The first `count` user-perceived characters (extended grapheme clusters) of UTF-8 text.
// TODO: use the shared text helper once the platform layer has one.
std::string firstCharacters(std::string_view utf8, size_t count) {
    if (utf8.size() <= count) return std::string(utf8);  // never more clusters than bytes
    UErrorCode status = U_ZERO_ERROR;
    UText* text = utext_openUTF8(nullptr, utf8.data(), static_cast<int64_t>(utf8.size()), &status);
    std::unique_ptr<icu::BreakIterator> breaks(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    size_t end = utf8.size();
    if (U_SUCCESS(status)) {
        breaks->setText(text, status);
        int32_t position = 0;
        for (size_t i = 0; i < count && position != icu::BreakIterator::DONE; ++i) position = breaks->next();
        if (U_SUCCESS(status) && position != icu::BreakIterator::DONE) end = static_cast<size_t>(position);
    }
    breaks.reset();
    utext_close(text);
    return std::string(utf8.substr(0, end));
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

void restoreIfneeded() { restoreIfneeded(files::homeDirectory()); }
void restoreIfneeded(const std::string& home) { cliConfig(home).restore(); }

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
        out["cliConfigSandboxPreview"] = firstCharacters(describe(*it), 400);

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
    out["permissionsAllowHasReadStar"] = anyAllow([](const std::string& rule) {
        return rule.starts_with("Read(") && rule.find('*') != std::string::npos;
    });
    out["permissionsAllowHasWriteStar"] = anyAllow([](const std::string& rule) {
        return rule.starts_with("Write(") && rule.find('*') != std::string::npos;
    });
    return out;
}

}  // namespace vemlo::CursorCliLeverSync
