#include "hook/KimiConfigDiagnostic.h"

#include "leversync/KimiConfigLeverSync.h"
#include "platform/Files.h"
#include "platform/Text.h"
#include "platform/Toml.h"


namespace vemlo::KimiConfigDiagnostic {
namespace {

constexpr size_t kSnippetCharacters = 32;

}  // namespace

std::optional<std::string> probeDefaultYoloValue(std::string_view text) {
    const toml::TopLevel key = toml::Document(text).topLevel("default_yolo");
    if (key.kind == toml::TopLevel::Kind::absent) return std::nullopt;
    std::string value;
    if (key.boolean) {
        value = *key.boolean ? "true" : "false";
    } else if (key.string) {
        value = *key.string;
    } else {
        // Another kind of value (or a table): what follows "=" on the key's line, up to white space.
        const std::string_view line = toml::Lines(text).content(key.firstLine);
        const size_t equals = line.find('=');
        const size_t start = equals == std::string_view::npos ? line.size() : line.find_first_not_of(" \t", equals + 1);
        if (start != std::string_view::npos) value = line.substr(start, line.find_first_of(" \t", start) - start);
    }
    // Cut at whole user-perceived characters, so an emoji or a combining sequence is never split.
    return std::string(text::prefixGraphemes(value, kSnippetCharacters));
}

Json snapshotForLog(const std::string& home) {
    const std::string path = KimiConfigLeverSync::configPath(home);
    Json probe = Json::object();
    probe["kimiConfigPath"] = path;
    probe["kimiConfigExists"] = files::exists(path);
    probe["hookApprovalPolicy"] = "dial_writes_default_yolo_on_PreToolUse_kimi_reload_to_apply_upstream_deny_only";
    const std::optional<std::string> text = files::readFile(path);
    if (!text || !text::isValidUtf8(*text)) return probe;
    if (const std::optional<std::string> value = probeDefaultYoloValue(*text)) {
        probe["default_yolo_lineno_hint"] = "matched";
        probe["default_yolo_valueSnippet"] = *value;
    } else {
        probe["default_yolo_valueSnippet"] = nullptr;
    }
    return probe;
}

Json snapshotForLog() { return snapshotForLog(files::homeDirectory()); }

Json leverSyncSnapshotForLog(const std::string& home) {
    Json snapshot = snapshotForLog(home);
    snapshot["leverSnapshotBakExists"] = files::exists(KimiConfigLeverSync::snapshotPath(home));
    return snapshot;
}

Json leverSyncSnapshotForLog() { return leverSyncSnapshotForLog(files::homeDirectory()); }

}  // namespace vemlo::KimiConfigDiagnostic
