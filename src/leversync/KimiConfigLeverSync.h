#pragma once

#include "platform/Json.h"
#include "platform/Toml.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vemlo::KimiConfigLeverSync {

// The lines written for `default_yolo`. Kimi reads the key at start and on "/reload", hence the hint.
inline constexpr std::string_view kAutoTemplate =
    "default_yolo = true  # Vemlo: dial auto; run /reload in Kimi after changing dial";
inline constexpr std::string_view kManualTemplate =
    "default_yolo = false  # Vemlo: dial manual; run /reload in Kimi after changing dial";

// Told each step a sync took, in order, for the caller's debug log: an event name such as
// "kimi_lever_sync_backup_created" and its details (an object). May be empty.
using Report = std::function<void(std::string_view event, const Json& details)>;

// Lever at 0: copies "~/.kimi/config.toml" to the snapshot unless a snapshot exists already, then sets
// `default_yolo` to true. A missing configuration is reported and never created. Failures go to
// standard error; every step, failures included, goes to `report`.
void enableYoloInConfig(const Report& report = {});
void enableYoloInConfig(const std::string& home, const Report& report = {});

// Lever not at 0: deletes the snapshot (it would hold the automatic period's starting point, which must
// not come back) once the configuration reads as TOML, then sets `default_yolo` to false. A
// configuration that does not read keeps the snapshot, the only good copy there may be.
void disableDefaultYoloForManualDial(const Report& report = {});
void disableDefaultYoloForManualDial(const std::string& home, const Report& report = {});

// The new configuration text, or why the file is to stay as it is (toml::KeyEdit; never "unchanged").
// The top-level key, found by the TOML parser, has its lines (a value spanning several included)
// replaced by `templateLine`; keys of the same name in tables, strings or comments stay. Without
// the key the template goes first, followed by an empty line; an empty file becomes the template
// and a line feed. The result must read as `text` does but for the key, whose value is the
// template's, or there is no text: input that is not TOML included.
toml::KeyEdit replaceOrInsertDefaultYolo(std::string_view text, std::string_view templateLine);

// "config.toml" in paths::kimiFolder (normally "<home>/.kimi") and its snapshot
// "config.toml.vemlo.lever0.bak" beside it.
std::string configPath(const std::string& home);
std::string snapshotPath(const std::string& home);

}  // namespace vemlo::KimiConfigLeverSync
