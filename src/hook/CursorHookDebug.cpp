#include "hook/CursorHookDebug.h"

#include "hook/HookSupport.h"
#include "hook/Redaction.h"
#include "leversync/CursorCliLeverSync.h"
#include "leversync/CursorPermissionsJsonLeverSync.h"
#include "platform/Files.h"
#include "platform/Text.h"

#include <algorithm>
#include <cctype>

extern char** environ;

namespace vemlo::HookSupport {
namespace {

constexpr const char* kNote =
    "IDE「Not in allowlist」用 ~/.cursor/permissions.json 的 terminalAllowlist，与 userCliConfig"
    "（cli-config=CLI）分离；见 https://cursor.com/docs/reference/permissions";

// White space without line breaks (tab and the space separators), as UTF-8.
constexpr std::array<std::string_view, 18> kBlanks = {
    " ",
    "\t",
    "\xC2\xA0",
    "\xE1\x9A\x80",
    "\xE2\x80\x80",
    "\xE2\x80\x81",
    "\xE2\x80\x82",
    "\xE2\x80\x83",
    "\xE2\x80\x84",
    "\xE2\x80\x85",
    "\xE2\x80\x86",
    "\xE2\x80\x87",
    "\xE2\x80\x88",
    "\xE2\x80\x89",
    "\xE2\x80\x8A",
    "\xE2\x80\xAF",
    "\xE2\x81\x9F",
    "\xE3\x80\x80",
};
constexpr std::array<std::string_view, 7> kLineBreaks = {
    "\n", "\r", "\v", "\f", "\xC2\x85", "\xE2\x80\xA8", "\xE2\x80\xA9",
};

// Length of the blank (or, with `lineBreaks`, the line break) starting at `at`, else 0. Every
// candidate starts with an ASCII or lead byte, so a match always begins at a character boundary.
size_t whiteSpaceAt(std::string_view text, size_t at, bool lineBreaks) {
    const std::string_view rest = text.substr(at);
    for (auto blank : kBlanks)
        if (rest.starts_with(blank)) return blank.size();
    if (lineBreaks)
        for (auto lineBreak : kLineBreaks)
            if (rest.starts_with(lineBreak)) return lineBreak.size();
    return 0;
}

std::string_view trimBlanks(std::string_view text) {
    while (size_t n = text.empty() ? 0 : whiteSpaceAt(text, 0, false)) text.remove_prefix(n);
    for (bool trimmed = true; trimmed && !text.empty();) {
        trimmed = false;
        for (auto blank : kBlanks)
            if (text.ends_with(blank)) {
                text.remove_suffix(blank.size());
                trimmed = true;
                break;
            }
    }
    return text;
}

std::string_view cutBefore(std::string_view text, std::string_view separator) {
    auto at = text.find(separator);
    return at == std::string_view::npos ? text : text.substr(0, at);
}

// The only variables whose values are recorded: what tells which Cursor, terminal or shell
// integration started the hook. Every other related name is recorded with "<redacted>": a support
// request or bug report may carry these logs, and a deny-list never knows the next secret's name.
constexpr std::array<std::string_view, 13> kRecordedValues = {
    "TERM",
    "CURSOR_AGENT",
    "CURSOR_CLI",
    "CURSOR_TRACE_ID",
    "VSCODE_CWD",
    "VSCODE_ESM_ENTRYPOINT",
    "VSCODE_GIT_ASKPASS_MAIN",
    "VSCODE_GIT_ASKPASS_NODE",
    "VSCODE_INJECTION",
    "VSCODE_IPC_HOOK_CLI",
    "VSCODE_PID",
    "VSCODE_PROCESS_TITLE",
    "VSCODE_SHELL_INTEGRATION",
};

std::vector<std::pair<std::string, std::string>> processEnvironment() {
    std::vector<std::pair<std::string, std::string>> out;
    for (char** entry = environ; entry && *entry; ++entry) {
        std::string_view pair(*entry);
        auto equals = pair.find('=');
        if (equals == std::string_view::npos) continue;
        out.emplace_back(std::string(pair.substr(0, equals)), std::string(pair.substr(equals + 1)));
    }
    return out;
}

}  // namespace

Json buildCursorHookDebug(std::string_view stdinData, const std::optional<std::string>& commandPreview) {
    return buildCursorHookDebug(stdinData, commandPreview, files::homeDirectory());
}

Json buildCursorHookDebug(std::string_view stdinData, const std::optional<std::string>& commandPreview,
                          const std::string& home) {
    Json out = Json::object();
    out["userCliConfig"] = CursorCliLeverSync::diagnosticSnapshotForLog(home);
    out["userPermissionsJson"] = CursorPermissionsJsonLeverSync::diagnosticSnapshotForLog(home);
    out["note"] = kNote;
    out["stdinFields"] = cursorStdinDebugFields(stdinData);
    out["processEnvCursorVscode"] = cursorRelatedEnvForLog();
    if (auto directory = inferredCdPathFromShellCommand(commandPreview)) {
        // Taken as written: no tilde expansion, and a relative path is relative to the hook's cwd.
        const std::string projectCliJson = files::join(*directory, ".cursor/cli.json");
        out["inferredCdPath"] = *directory;
        out["projectCliJsonPath"] = projectCliJson;
        out["projectCliJsonExists"] = files::exists(projectCliJson);
    }
    return out;
}

Json cursorStdinDebugFields(std::string_view stdinData) {
    // Each member is shown cut to 220 characters, which its first values always fill: every value
    // adds at least one character of its own to the compact form. Building no more than those keeps
    // a huge value under a whitelisted key from costing more than its parsing.
    constexpr size_t kValuesShown = 4096;
    const auto input = json::parseObjectMembers(
        stdinData,
        [](std::string_view key) {
            return std::find(cursorStdinLogKeys.begin(), cursorStdinLogKeys.end(), key) != cursorStdinLogKeys.end();
        },
        /*containersAsNull=*/false, kValuesShown);
    if (!input) return Json{{"parse", "empty_or_invalid_json"}};
    Json out = Json::object();
    for (std::string_view key : cursorStdinLogKeys)
        if (auto it = input->find(key); it != input->end()) out[std::string(key)] = stringifyDebugValue(*it, 220);
    if (out.empty()) return Json{{"note", "no_whitelisted_keys_in_stdin"}};
    return out;
}

Json cursorRelatedEnvForLog() { return cursorRelatedEnvForLog(processEnvironment()); }

Json cursorRelatedEnvForLog(std::vector<std::pair<std::string, std::string>> environment) {
    std::stable_sort(environment.begin(), environment.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    Json out = Json::object();
    for (const auto& [name, value] : environment) {
        std::string upper = name;
        std::transform(upper.begin(), upper.end(), upper.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        if (upper.find("CURSOR") == std::string::npos && !upper.starts_with("VSCODE_") && upper != "TERM") continue;
        const bool recorded = std::find(kRecordedValues.begin(), kRecordedValues.end(), name) != kRecordedValues.end();
        out[name] = recorded ? std::string(text::prefixGraphemes(stripUrlUserInfo(value), 200)) : "<redacted>";
        if (out.size() == 32) break;
    }
    return out;
}

std::optional<std::string> inferredCdPathFromShellCommand(const std::optional<std::string>& command) {
    if (!command) return std::nullopt;
    std::string_view text = text::trimWhitespaceAndNewlines(*command);
    if (!text.starts_with("cd ")) return std::nullopt;
    text = trimBlanks(text.substr(3));
    text = cutBefore(text, " && ");
    text = cutBefore(text, ";");
    text = cutBefore(text, "|");
    text = trimBlanks(text);

    if (text.starts_with('"')) {
        auto closing = text.find('"', 1);
        if (closing != std::string_view::npos) return std::string(text.substr(1, closing - 1));
    }
    if (text.empty()) return std::nullopt;
    for (size_t at = 0; at < text.size(); ++at)
        if (whiteSpaceAt(text, at, true)) return std::string(text.substr(0, at));
    return std::string(text);
}

}  // namespace vemlo::HookSupport
