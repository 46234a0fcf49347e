#pragma once

#include "platform/Json.h"

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
// not come back), then sets `default_yolo` to false when the configuration can be read.
void disableDefaultYoloForManualDial(const Report& report = {});
void disableDefaultYoloForManualDial(const std::string& home, const Report& report = {});

// The new configuration text, or why the file is to stay as it is.
struct Rewrite {
    std::optional<std::string> text;
    std::string_view leftAlone;  // with no text: "quoted_key", "multi_line_value" or "result_not_toml"
};

// Every line carrying the key (tables included) becomes `templateLine`, together with the blank lines
// directly around it; without such a line the template goes first, followed by an empty line. Only the
// bare key on one line is understood, so a file whose key is quoted or whose value spans lines gets no
// text: the rewrite would turn a configuration Kimi reads into one it cannot. Nor does any other
// result that is not TOML when `text` is. `text` is valid UTF-8.
Rewrite replaceOrInsertDefaultYolo(std::string_view text, std::string_view templateLine);

// "config.toml" in paths::kimiFolder (normally "<home>/.kimi") and its snapshot
// "config.toml.vemlo.lever0.bak" beside it.
std::string configPath(const std::string& home);
std::string snapshotPath(const std::string& home);

}  // namespace vemlo::KimiConfigLeverSync
