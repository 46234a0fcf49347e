#include "hook/CursorHookHandler.h"

#include "hook/CursorHookDebug.h"
#include "hook/HookSupport.h"
#include "leversync/CursorCliLeverSync.h"
#include "leversync/CursorPermissionsJsonLeverSync.h"

#include <unistd.h>

namespace vemlo::CursorHookHandler {

void handleToolPermission(const std::string& hookEvent) {
    const std::string input = HookSupport::readStandardInput();
    Json tool = HookSupport::parseStdinContext(input, "Cursor");

    const std::optional<Json> reply = HookSupport::sendJsonRequest(Json{{"cmd", "permission"}, {"value", 1}}, 5.0);
    std::optional<int64_t> switchState;
    if (reply && !reply->empty()) switchState = HookSupport::intValue(HookSupport::member(*reply, "switchState"));

    // Only a lever known to be at 0 approves; every doubt is a denial.
    const bool isAuto = switchState && *switchState == 0;
    const char* permission = isAuto ? "allow" : "deny";
    // The answer goes out before either file is touched: Cursor is waiting on it, and nothing the
    // lever syncs run into may change it.
    (void)HookSupport::writeAll(STDOUT_FILENO, std::string(R"({"permission":")") + permission + "\"}\n");
    if (isAuto) {
        CursorCliLeverSync::applyRelaxed();
        CursorPermissionsJsonLeverSync::applyRelaxed();
    } else {
        HookSupport::emitPermissionStderr("Cursor", hookEvent, reply, switchState);
        // Without a known lever the files stay as they are: an unreachable agent says nothing about
        // where the lever stands.
        if (switchState) {
            CursorCliLeverSync::restoreIfNeeded();
            CursorPermissionsJsonLeverSync::restoreIfNeeded();
        }
    }

    std::optional<std::string> commandPreview;
    if (const Json* preview = HookSupport::member(tool, "commandPreview"); preview && preview->is_string())
        commandPreview = preview->get<std::string>();
    // Built after the lever syncs ran, so the record shows the files as this run left them.
    Json cursorDebug = HookSupport::buildCursorHookDebug(input, commandPreview);

    // "ask" for a lever away from 0, as in every handler's records, though Cursor was told "deny".
    const char* diagnostic = !reply ? "no_agent_reply" : !switchState ? "no_switch_in_reply" : isAuto ? "allow" : "ask";
    Json record = Json::object();
    record["ts"] = HookSupport::diagnosticTimestampFormatter().now();
    record["ide"] = "cursor";
    record["hookEvent"] = hookEvent;
    record["switchState"] = switchState ? Json(*switchState) : Json(nullptr);
    record["isAuto"] = isAuto;
    record["agentReply"] = reply.has_value();
    record["diagnostic"] = diagnostic;
    record["tool"] = std::move(tool);
    record["cursorPermission"] = permission;
    record["cursorDebug"] = std::move(cursorDebug);
    HookSupport::appendDiagnosticsRecord(HookSupport::kPermissionRequestLog, record);
}

}  // namespace vemlo::CursorHookHandler
