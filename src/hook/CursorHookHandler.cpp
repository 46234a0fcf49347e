#include "hook/CursorHookHandler.h"

#include "hook/CursorHookDebug.h"
#include "hook/HookSupport.h"
#include "leversync/CursorCliLeverSync.h"
#include "leversync/CursorPermissionsJsonLeverSync.h"

#include <unistd.h>

namespace vemlo::CursorHookHandler {

void handleToolPermission(const std::string& hookEvent) {
    const HookSupport::StandardInput input = HookSupport::readAndSummarizeStandardInput("Cursor");
    const HookSupport::LeverReading lever = HookSupport::askAgentForLever();

    // Cursor has no "ask": every doubt is a denial.
    const char* permission = lever.isAuto() ? "allow" : "deny";
    // The answer goes out before either file is touched: Cursor is waiting on it, and nothing the
    // lever syncs run into may change it.
    (void)HookSupport::writeAll(STDOUT_FILENO, std::string(R"({"permission":")") + permission + "\"}\n");
    if (lever.isAuto()) {
        CursorCliLeverSync::applyRelaxed();
        CursorPermissionsJsonLeverSync::applyRelaxed();
    } else {
        HookSupport::emitPermissionStderr("Cursor", hookEvent, lever);
        // Without a known lever the files stay as they are: an unreachable agent says nothing about
        // where the lever stands.
        if (lever.switchState) {
            CursorCliLeverSync::restoreIfNeeded();
            CursorPermissionsJsonLeverSync::restoreIfNeeded();
        }
    }

    std::optional<std::string> commandPreview;
    if (const Json* preview = HookSupport::member(input.summary, "commandPreview"); preview && preview->is_string())
        commandPreview = preview->get<std::string>();
    // Built after the lever syncs ran, so the record shows the files as this run left them.
    Json cursorDebug = HookSupport::buildCursorHookDebug(input.bytes, commandPreview);

    // "diagnostic" says "ask" for a lever away from 0, as in every handler's records, though Cursor
    // was told "deny".
    Json record = HookSupport::permissionRecord("cursor", hookEvent, lever, input.summary);
    record["cursorPermission"] = permission;
    record["cursorDebug"] = std::move(cursorDebug);
    HookSupport::appendDiagnosticsRecord(HookSupport::kPermissionRequestLog, record);
}

}  // namespace vemlo::CursorHookHandler
