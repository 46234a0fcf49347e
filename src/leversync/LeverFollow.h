#pragma once

#include "leversync/KimiConfigLeverSync.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

// Brings the configurations that follow the lever in line with it, for whoever noticed the lever:
// a hook, or the agent when the lever moves. The lever is read again once the configuration's lock
// is held, and only that reading is written: a hook that read lever 0 just before the lever moved
// must not, after the agent wrote the new position, put the old one back.
namespace vemlo::LeverFollow {

// The lever as it stands now; nothing when it is not known (no keyboard, no agent), and then the
// configuration stays as it is.
using LeverReader = std::function<std::optional<int64_t>()>;

// Kimi's `default_yolo`: true at 0, false elsewhere. The reading the file now follows, or nothing.
std::optional<int64_t> syncKimi(const std::string& home, const LeverReader& readLever,
                                const KimiConfigLeverSync::Report& report = {});

// Cursor's CLI and IDE permission files: relaxed at 0, the person's own put back elsewhere. Both
// locks are taken (CLI first), then the lever is read once for both.
void syncCursor(const std::string& home, const LeverReader& readLever);

// Both, for the agent when the lever position changes.
void syncAll(const std::string& home, const LeverReader& readLever);

}  // namespace vemlo::LeverFollow
