#include "leversync/LeverFollow.h"

#include "leversync/CursorCliLeverSync.h"
#include "leversync/CursorPermissionsJsonLeverSync.h"
#include "leversync/SyncLock.h"
#include "platform/Paths.h"

namespace vemlo::LeverFollow {

// Each sync takes its lock again inside; SyncLock lets a thread that holds a lock take it again.
std::optional<int64_t> syncKimi(const std::string& home, const LeverReader& readLever,
                                const KimiConfigLeverSync::Report& report) {
    if (home.empty()) return std::nullopt;
    SyncLock lock(home, paths::kKimiConfigLock);
    const std::optional<int64_t> lever = readLever();
    if (!lever) return std::nullopt;
    if (*lever == 0)
        KimiConfigLeverSync::enableYoloInConfig(home, report);
    else
        KimiConfigLeverSync::disableDefaultYoloForManualDial(home, report);
    return lever;
}

void syncCursor(const std::string& home, const LeverReader& readLever) {
    if (home.empty()) return;
    // Both locks, always in this order, so that one reading serves both files.
    SyncLock cliLock(home, paths::kCursorCliConfigLock);
    SyncLock permissionsLock(home, paths::kCursorPermissionsLock);
    const std::optional<int64_t> lever = readLever();
    if (!lever) return;
    if (*lever == 0) {
        CursorCliLeverSync::applyRelaxed(home);
        CursorPermissionsJsonLeverSync::applyRelaxed(home);
    } else {
        CursorCliLeverSync::restoreIfNeeded(home);
        CursorPermissionsJsonLeverSync::restoreIfNeeded(home);
    }
}

void syncAll(const std::string& home, const LeverReader& readLever) {
    (void)syncKimi(home, readLever);
    syncCursor(home, readLever);
}

}  // namespace vemlo::LeverFollow
