#include "hook/GeminiStamp.h"

#include "leversync/GeminiPolicyFile.h"

namespace vemlo::GeminiStamp {
namespace {

using GeminiPolicyFile::kDirMark;
using GeminiPolicyFile::kStampKey;

bool isShell(std::string_view toolName) { return toolName == "run_shell_command"; }

bool carriesStamp(const Json& toolInput) {
    if (!toolInput.is_object()) return false;
    if (toolInput.contains(kStampKey)) return true;
    auto dir = toolInput.find("dir_path");
    return dir != toolInput.end() && dir->is_string() &&
           dir->get_ref<const std::string&>().find(kDirMark) != std::string::npos;
}

Json hookAnswer(Json toolInput) {
    return Json{{"hookSpecificOutput", {{"hookEventName", "BeforeTool"}, {"tool_input", std::move(toolInput)}}}};
}

}  // namespace

bool neverStamped(std::string_view toolName) {
    return toolName == "ask_user" || toolName == "enter_plan_mode" || toolName == "exit_plan_mode";
}

Json withoutStamp(const Json& toolInput) {
    Json out = toolInput;
    if (!out.is_object()) return out;
    out.erase(std::string(kStampKey));
    auto dir = out.find("dir_path");
    if (dir != out.end() && dir->is_string()) {
        const std::string& d = dir->get_ref<const std::string&>();
        if (const size_t mark = d.find(kDirMark); mark != std::string::npos)
            *dir = mark == 0 ? std::string(".") : d.substr(0, mark);
    }
    return out;
}

std::optional<Json> stamped(std::string_view toolName, const Json& toolInput, std::string_view secret) {
    if (!toolInput.is_object() || neverStamped(toolName)) return std::nullopt;
    Json out = withoutStamp(toolInput);
    out[std::string(kStampKey)] = secret;
    if (isShell(toolName)) {
        std::string dir = ".";
        if (auto d = out.find("dir_path"); d != out.end()) {
            if (!d->is_string()) return std::nullopt;
            dir = d->get<std::string>();
        }
        while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
        if (dir.empty()) dir = ".";
        // "/" + mark would start with "//": still the root, and still matched by the rule.
        out["dir_path"] = dir + std::string(kDirMark) + std::string(secret) + "/..";
    }
    return out;
}

Json answer(const Json& event, const std::optional<std::string>& secret, bool* stampedOut) {
    if (stampedOut) *stampedOut = false;
    if (!event.is_object()) return Json::object();
    std::string toolName;
    if (auto t = event.find("tool_name"); t != event.end() && t->is_string()) toolName = t->get<std::string>();
    auto input = event.find("tool_input");
    if (input == event.end()) return Json::object();
    if (secret) {
        if (std::optional<Json> out = stamped(toolName, *input, *secret)) {
            if (stampedOut) *stampedOut = true;
            return hookAnswer(std::move(*out));
        }
    }
    return carriesStamp(*input) ? hookAnswer(withoutStamp(*input)) : Json::object();
}

}  // namespace vemlo::GeminiStamp
