#include "leversync/CodexConfigLeverSync.h"

#include "leversync/SyncLock.h"
#include "platform/Files.h"
#include "platform/Paths.h"

#include <unistd.h>
#include <optional>

namespace vemlo::CodexConfigLeverSync {

toml::KeyEdit rewrite(std::string_view text) {
    return toml::setTopLevelKey(text, "approval_policy", kTargetLine, std::string("on-request"),
                                toml::Place::aboveFirstHeader, false);
}

std::string configPath(const std::string& home) { return files::join(home, ".codex/config.toml"); }

namespace {

// Only an edit or a write that failed needs this second reading, to tell whether Codex stays at
// "never". A file that is not TOML tells nothing; Codex does not start with one.
void leftAlone(const std::string& path, std::string_view text, std::string_view reason, const std::string& detail,
               bool switchStateAuto, const Report& report) {
    const toml::TopLevel policy = toml::Document(text).topLevel("approval_policy");
    const bool leftAtNever = policy.string == "never";
    std::string line = "CodexConfigLeverSync: 未改写 " + path + "（" + std::string(reason) +
                       (detail.empty() ? "" : ": " + detail) + "）";
    if (leftAtNever && !switchStateAuto)
        line += "；approval_policy 仍为 \"never\"，拨杆不在 0，Codex 却会不经询问运行工具，请手动改为 \"on-request\"";
    (void)files::writeAll(STDERR_FILENO, line + "\n");
    if (report)
        report("codex_lever_sync_left_alone",
               Json{{"reason", reason}, {"detail", detail}, {"approvalPolicyNever", leftAtNever}});
}

}  // namespace

void apply(bool switchStateAuto, const std::string& home, const Report& report) {
    const std::string path = configPath(home);
    // Checked before locking so that a machine without Codex never gets our lock folder.
    if (!files::exists(path)) return;
    SyncLock lock(home, paths::kCodexConfigLock);
    const std::optional<std::string> current = files::readFile(path);
    if (!current) return;
    const toml::KeyEdit edit = rewrite(*current);
    if (!edit.text) {
        if (edit.leftAlone != "unchanged") leftAlone(path, *current, edit.leftAlone, edit.detail, switchStateAuto, report);
        return;
    }
    std::string error;
    if (!files::atomicWrite(path, *edit.text, &error))
        leftAlone(path, *current, "write_failed", error, switchStateAuto, report);
}

// Qualified: an unqualified call would also find std::apply through the std::string argument.
void apply(bool switchStateAuto, const Report& report) {
    CodexConfigLeverSync::apply(switchStateAuto, files::homeDirectory(), report);
}

}  // namespace vemlo::CodexConfigLeverSync
