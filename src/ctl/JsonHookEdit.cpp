#include "ctl/JsonHookEdit.h"

namespace vemlo::ctl::JsonHookEdit {
namespace {

// The hook handlers of one event's list: for the matcher-group shape the entries of each group's
// "hooks" array, for the command-list shape the list entries themselves.
bool isOurs(const Json& handler, std::string_view agentEvent) {
    if (!handler.is_object()) return false;
    auto it = handler.find("command");
    return it != handler.end() && it->is_string() && isAgentHookCommand(it->get_ref<const std::string&>(), agentEvent);
}

bool isCurrent(const Json& handler, const std::string& command) {
    auto it = handler.find("command");
    return it != handler.end() && it->is_string() && it->get_ref<const std::string&>() == command;
}

struct Count {
    int ours = 0;
    int current = 0;
};

Count countOurs(const Json& list, ConfigShape shape, std::string_view agentEvent, const std::string& command) {
    Count c;
    auto visit = [&](const Json& handler) {
        if (!isOurs(handler, agentEvent)) return;
        ++c.ours;
        if (isCurrent(handler, command)) ++c.current;
    };
    for (const Json& entry : list) {
        if (shape == ConfigShape::commandList) {
            visit(entry);
        } else if (entry.is_object() && entry.contains("hooks") && entry["hooks"].is_array()) {
            for (const Json& handler : entry["hooks"]) visit(handler);
        }
    }
    return c;
}

// Drops our handlers from one event's list, and a group left with no handler by that.
int removeOurs(Json& list, ConfigShape shape, std::string_view agentEvent) {
    int removed = 0;
    Json kept = Json::array();
    for (Json& entry : list) {
        if (shape == ConfigShape::commandList) {
            if (isOurs(entry, agentEvent))
                ++removed;
            else
                kept.push_back(std::move(entry));
            continue;
        }
        if (!entry.is_object() || !entry.contains("hooks") || !entry["hooks"].is_array()) {
            kept.push_back(std::move(entry));
            continue;
        }
        Json handlers = Json::array();
        int here = 0;
        for (Json& handler : entry["hooks"]) {
            if (isOurs(handler, agentEvent))
                ++here;
            else
                handlers.push_back(std::move(handler));
        }
        removed += here;
        if (here > 0 && handlers.empty()) continue;
        entry["hooks"] = std::move(handlers);
        kept.push_back(std::move(entry));
    }
    list = std::move(kept);
    return removed;
}

Json newEntry(const Assistant& assistant, const std::string& command) {
    if (assistant.shape == ConfigShape::commandList) return Json{{"command", command}};
    Json handler = {{"type", "command"}, {"command", command}, {"timeout", assistant.hookTimeout}};
    return Json{{"matcher", ""}, {"hooks", Json::array({handler})}};
}

// The shape checks that must pass before anything is changed, so that a document is either
// edited completely or not at all.
std::string shapeError(const Json& root, const Assistant& assistant) {
    if (!root.is_object()) return "its top level is not a JSON object";
    auto hooks = root.find("hooks");
    if (hooks == root.end()) return {};
    if (!hooks->is_object()) return "its \"hooks\" member is not an object";
    for (const EventBinding& b : assistant.events) {
        auto list = hooks->find(b.assistantEvent);
        if (list != hooks->end() && !list->is_array())
            return "its \"hooks\" entry \"" + b.assistantEvent + "\" is not a list";
    }
    return {};
}

}  // namespace

Outcome install(Json& root, const Assistant& assistant, const std::string& agentPath) {
    Outcome out;
    out.error = shapeError(root, assistant);
    if (!out.error.empty()) return out;
    for (const EventBinding& b : assistant.events) {
        const std::string command = hookCommand(agentPath, b.agentEvent);
        Json* list = nullptr;
        if (root.contains("hooks") && root["hooks"].contains(b.assistantEvent)) list = &root["hooks"][b.assistantEvent];
        if (list) {
            Count c = countOurs(*list, assistant.shape, b.agentEvent, command);
            if (c.ours == 1 && c.current == 1) continue;
            out.removed += removeOurs(*list, assistant.shape, b.agentEvent);
        } else {
            list = &root["hooks"][b.assistantEvent];
            *list = Json::array();
        }
        list->push_back(newEntry(assistant, command));
        ++out.added;
    }
    return out;
}

Outcome uninstall(Json& root, const Assistant& assistant) {
    Outcome out;
    out.error = shapeError(root, assistant);
    if (!out.error.empty() || !root.contains("hooks")) return out;
    Json& hooks = root["hooks"];
    for (const EventBinding& b : assistant.events) {
        if (!hooks.contains(b.assistantEvent)) continue;
        Json& list = hooks[b.assistantEvent];
        int removed = removeOurs(list, assistant.shape, b.agentEvent);
        out.removed += removed;
        if (removed > 0 && list.empty()) hooks.erase(b.assistantEvent);
    }
    if (out.removed > 0 && hooks.empty()) root.erase("hooks");
    return out;
}

int registeredEvents(const Json& root, const Assistant& assistant) {
    if (!shapeError(root, assistant).empty() || !root.contains("hooks")) return 0;
    const Json& hooks = root.at("hooks");
    int n = 0;
    for (const EventBinding& b : assistant.events) {
        auto list = hooks.find(b.assistantEvent);
        if (list != hooks.end() && countOurs(*list, assistant.shape, b.agentEvent, {}).ours > 0) ++n;
    }
    return n;
}

std::string serializeLike(const Json& root, std::string_view original) {
    // A file written on one line stays on one line.
    const size_t firstBreak = original.find('\n');
    int width =
        !original.empty() && (firstBreak == std::string_view::npos || firstBreak + 1 == original.size()) ? -1 : 2;
    char fill = ' ';
    // The first indented line tells how the file is indented; without one, two spaces.
    for (size_t nl = original.find('\n'); nl != std::string_view::npos; nl = original.find('\n', nl + 1)) {
        size_t i = nl + 1;
        while (i < original.size() && (original[i] == ' ' || original[i] == '\t')) ++i;
        if (i == nl + 1 || i >= original.size() || original[i] == '\n' || original[i] == '\r') continue;
        fill = original[nl + 1];
        width = 0;
        for (size_t k = nl + 1; k < i && original[k] == fill; ++k) ++width;
        break;
    }
    std::string text;
    try {
        text = root.dump(width, fill, false, Json::error_handler_t::replace);
    } catch (...) {
        return {};
    }
    if (original.empty() || original.back() == '\n') text += '\n';
    if (original.find("\r\n") == std::string_view::npos) return text;
    std::string crlf;
    crlf.reserve(text.size() + text.size() / 16);
    for (char c : text) {
        if (c == '\n') crlf += '\r';
        crlf += c;
    }
    return crlf;
}

}  // namespace vemlo::ctl::JsonHookEdit
