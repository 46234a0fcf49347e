#include "ctl/JsonHookEdit.h"

#include <algorithm>
#include <optional>
#include <vector>

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

// The edits on the parsed value. The text edits below must come to the same value; that is checked
// before a text is handed out.
Outcome installValue(Json& root, const Assistant& assistant, const std::string& agentPath, const MakeEntry& make) {
    Outcome out;
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
        list->push_back(make(command));
        ++out.added;
    }
    return out;
}

Outcome uninstallValue(Json& root, const Assistant& assistant) {
    Outcome out;
    if (!root.contains("hooks")) return out;
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

// ---- The text: where each value, member and element stands.

struct Node {
    size_t begin = 0, end = 0;  // the value's bytes
    size_t itemBegin = 0;       // where it begins as an element: its key for an object member
    std::string key;            // for an object member
    char kind = 0;              // '{', '[', or 0 for anything else
    std::vector<Node> items;
};

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Reads the spans of a text that json::parse accepted; nothing on anything else.
class Scanner {
public:
    explicit Scanner(std::string_view text) : t_(text) {}
    std::optional<Node> root() {
        if (t_.starts_with("\xEF\xBB\xBF")) i_ = 3;
        Node n;
        if (!value(n, 0)) return std::nullopt;
        return n;
    }

private:
    void blanks() {
        while (i_ < t_.size() && isBlank(t_[i_])) ++i_;
    }
    bool string() {
        for (++i_; i_ < t_.size(); ++i_) {
            if (t_[i_] == '\\') ++i_;
            else if (t_[i_] == '"') return ++i_, true;
        }
        return false;
    }
    bool value(Node& n, size_t depth) {
        blanks();
        if (i_ >= t_.size() || depth > json::kMaxNesting) return false;
        n.begin = n.itemBegin = i_;
        const char c = t_[i_];
        if (c == '"') {
            if (!string()) return false;
        } else if (c == '{' || c == '[') {
            n.kind = c;
            ++i_;
            blanks();
            const char close = c == '{' ? '}' : ']';
            if (i_ < t_.size() && t_[i_] == close) {
                ++i_;
            } else {
                for (;;) {
                    Node item;
                    blanks();
                    if (c == '{') {
                        const size_t keyBegin = i_;
                        if (i_ >= t_.size() || t_[i_] != '"' || !string()) return false;
                        auto key = json::parse(t_.substr(keyBegin, i_ - keyBegin));
                        if (!key || !key->is_string()) return false;
                        blanks();
                        if (i_ >= t_.size() || t_[i_++] != ':') return false;
                        if (!value(item, depth + 1)) return false;
                        item.itemBegin = keyBegin;
                        item.key = key->get<std::string>();
                    } else if (!value(item, depth + 1)) {
                        return false;
                    }
                    n.items.push_back(std::move(item));
                    blanks();
                    if (i_ >= t_.size()) return false;
                    if (t_[i_] == ',') {
                        ++i_;
                        continue;
                    }
                    if (t_[i_++] != close) return false;
                    break;
                }
            }
        } else {
            while (i_ < t_.size() && !isBlank(t_[i_]) && t_[i_] != ',' && t_[i_] != ']' && t_[i_] != '}') ++i_;
        }
        n.end = i_;
        return n.end > n.begin;
    }

    std::string_view t_;
    size_t i_ = 0;
};

// The member of an object node with `key`: the last one, as json::parse keeps the last value.
std::optional<size_t> memberIndex(const Node& object, std::string_view key) {
    for (size_t i = object.items.size(); i-- > 0;)
        if (object.items[i].key == key) return i;
    return std::nullopt;
}

const Node* member(const Node& object, std::string_view key) {
    auto i = object.kind == '{' ? memberIndex(object, key) : std::nullopt;
    return i ? &object.items[*i] : nullptr;
}

Json valueOf(const std::string& text, const Node& n) {
    return json::parse(std::string_view(text).substr(n.begin, n.end - n.begin)).value_or(Json());
}

// How the file writes what it writes: its line end, its indentation step, whether it spans lines and
// puts a blank after ':' and ','.
struct Layout {
    std::string newline = "\n";
    std::string step = "  ";
    bool multiline = false;
    bool spaced = false;
};

Layout layoutOf(std::string_view text) {
    Layout l;
    if (text.find("\r\n") != std::string_view::npos) l.newline = "\r\n";
    const size_t last = text.find_last_not_of(" \t\r\n");
    l.multiline = text.substr(0, last == std::string_view::npos ? 0 : last).find('\n') != std::string_view::npos;
    l.spaced = text.find("\": ") != std::string_view::npos || text.find(", ") != std::string_view::npos;
    // The first indented line tells the step.
    for (size_t nl = text.find('\n'); nl != std::string_view::npos; nl = text.find('\n', nl + 1)) {
        size_t i = nl + 1;
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
        if (i == nl + 1 || i >= text.size() || text[i] == '\n' || text[i] == '\r') continue;
        l.step = std::string(text.substr(nl + 1, i - nl - 1));
        break;
    }
    return l;
}

std::string lineIndent(std::string_view text, size_t pos) {
    const size_t nl = text.rfind('\n', pos);
    size_t i = nl == std::string_view::npos ? 0 : nl + 1;
    const size_t start = i;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    return std::string(text.substr(start, i - start));
}

std::string scalar(const Json& v) { return v.dump(-1, ' ', false, Json::error_handler_t::replace); }

// Our new values are a few levels deep; the layout is the neighbours'.
void render(const Json& v, const Layout& l, bool multiline, const std::string& indent, std::string& out) {
    if (!v.is_object() && !v.is_array()) {
        out += scalar(v);
        return;
    }
    const bool object = v.is_object();
    out += object ? '{' : '[';
    bool first = true;
    for (auto it = v.begin(); it != v.end(); ++it) {
        if (!first) out += multiline || !l.spaced ? "," : ", ";
        first = false;
        if (multiline) out += l.newline + indent + l.step;
        if (object) out += scalar(Json(it.key())) + (multiline || l.spaced ? ": " : ":");
        render(*it, l, multiline, indent + l.step, out);
    }
    if (multiline && !v.empty()) out += l.newline + indent;
    out += object ? '}' : ']';
}

std::string renderItem(const std::string* key, const Json& v, const Layout& l, bool multiline,
                       const std::string& indent) {
    std::string out = key ? scalar(Json(*key)) + (multiline || l.spaced ? ": " : ":") : std::string();
    render(v, l, multiline, indent, out);
    return out;
}

// Cuts element `index` out of a container: with the separator after it, or for the last one the
// separator before it, which is what appendItem puts there; a sole element leaves "[]" or "{}".
void removeItem(std::string& text, const Node& container, size_t index) {
    const auto& items = container.items;
    if (items.size() == 1) {
        text.erase(container.begin + 1, container.end - container.begin - 2);
    } else if (index + 1 < items.size()) {
        text.erase(items[index].itemBegin, items[index + 1].itemBegin - items[index].itemBegin);
    } else {
        text.erase(items[index - 1].end, items[index].end - items[index - 1].end);
    }
}

// Adds an element (a member when `key` is set) after the last one, with the separator and
// indentation that the last one has; into an empty container, one step in from its line.
void appendItem(std::string& text, const Node& container, const std::string* key, const Json& value,
                const Layout& layout) {
    if (!container.items.empty()) {
        const Node& last = container.items.back();
        size_t from = last.itemBegin;
        while (from > container.begin + 1 && isBlank(text[from - 1])) --from;
        std::string separator = text.substr(from, last.itemBegin - from);
        const size_t nl = separator.rfind('\n');
        // On one line, what follows "[" is no separator between two elements.
        if (nl == std::string::npos && container.items.size() == 1) separator = layout.spaced ? " " : "";
        const std::string indent = nl != std::string::npos ? separator.substr(nl + 1) : std::string();
        // A member of an object spread over lines is spread too; an element is laid out like the last
        // one, so a one-line group gets a one-line neighbour.
        const bool multiline = text.find('\n', last.begin) < last.end ||
                               (nl != std::string::npos && container.kind == '{');
        text.insert(last.end, "," + separator + renderItem(key, value, layout, multiline, indent));
        return;
    }
    std::string inner;
    if (layout.multiline) {
        const std::string outer = lineIndent(text, container.begin);
        inner = layout.newline + outer + layout.step + renderItem(key, value, layout, true, outer + layout.step) +
                layout.newline + outer;
    } else {
        inner = renderItem(key, value, layout, false, "");
    }
    text.replace(container.begin + 1, container.end - container.begin - 2, inner);
}

// Cuts our handlers out of one event's list: a group with nothing but ours goes whole. Works
// from the back, so the spans of what comes before stay true.
int removeOursText(std::string& text, const Node& list, ConfigShape shape, std::string_view agentEvent) {
    int removed = 0;
    for (size_t g = list.items.size(); g-- > 0;) {
        const Node& entry = list.items[g];
        if (shape == ConfigShape::commandList) {
            if (isOurs(valueOf(text, entry), agentEvent)) removeItem(text, list, g), ++removed;
            continue;
        }
        const Node* handlers = member(entry, "hooks");
        if (!handlers || handlers->kind != '[') continue;
        std::vector<size_t> ours;
        for (size_t h = 0; h < handlers->items.size(); ++h)
            if (isOurs(valueOf(text, handlers->items[h]), agentEvent)) ours.push_back(h);
        removed += static_cast<int>(ours.size());
        if (!ours.empty() && ours.size() == handlers->items.size()) {
            removeItem(text, list, g);
            continue;
        }
        for (size_t k = ours.size(); k-- > 0;) removeItem(text, *handlers, ours[k]);
    }
    return removed;
}

constexpr const char* kNotUnderstood = "its layout could not be followed";

Outcome refused(std::string why) {
    Outcome out;
    out.error = std::move(why);
    return out;
}

// The node path root -> "hooks" -> one event's list, in the current text.
struct Path {
    Node root;
    const Node* hooks = nullptr;
    const Node* list = nullptr;
};

std::optional<Path> locate(const std::string& text, const std::string& event) {
    auto root = Scanner(text).root();
    if (!root || root->kind != '{') return std::nullopt;
    Path p{std::move(*root)};
    p.hooks = member(p.root, "hooks");
    if (p.hooks && p.hooks->kind == '{') p.list = member(*p.hooks, event);
    return p;
}

// A key that the root object or the "hooks" object has twice: json::parse keeps the last value in the
// first place, which no edit of one member could follow.
std::string repeatedKeyError(const std::string& text) {
    auto p = locate(text, "");
    if (!p) return kNotUnderstood;
    for (const Node* object : {static_cast<const Node*>(&p->root), p->hooks}) {
        if (!object || object->kind != '{') continue;
        std::vector<std::string_view> keys;
        for (const Node& item : object->items) keys.push_back(item.key);
        std::sort(keys.begin(), keys.end());
        if (auto twice = std::adjacent_find(keys.begin(), keys.end()); twice != keys.end())
            return "it has the key \"" + std::string(*twice) + "\" twice in one object";
    }
    return {};
}

Outcome finish(Outcome out, std::string text, const Json& expected) {
    auto result = json::parse(text);
    if (!result || *result != expected) return refused(kNotUnderstood);
    out.text = std::move(text);
    return out;
}

}  // namespace

std::string emptyFileText(const Assistant& assistant) {
    return assistant.shape == ConfigShape::commandList ? "{\n  \"version\": 1\n}\n" : "{\n}\n";
}

Outcome install(std::string_view original, const Assistant& assistant, const std::string& agentPath,
                const MakeEntry& makeEntry) {
    auto parsed = json::parse(original);
    if (!parsed) return refused("it is not valid JSON");
    if (std::string error = shapeError(*parsed, assistant); !error.empty()) return refused(error);
    if (std::string error = repeatedKeyError(std::string(original)); !error.empty()) return refused(error);
    const MakeEntry make = makeEntry ? makeEntry : [&](const std::string& c) { return newEntry(assistant, c); };
    Json expected = *parsed;
    Outcome out = installValue(expected, assistant, agentPath, make);
    if (!out.changed()) return out;
    const Layout layout = layoutOf(original);
    std::string text(original);
    for (const EventBinding& b : assistant.events) {
        const std::string command = hookCommand(agentPath, b.agentEvent);
        auto p = locate(text, b.assistantEvent);
        if (!p) return refused(kNotUnderstood);
        if (!p->hooks) {
            const std::string key = "hooks";
            appendItem(text, p->root, &key, Json::object({{b.assistantEvent, Json::array({make(command)})}}), layout);
            continue;
        }
        if (!p->list) {
            appendItem(text, *p->hooks, &b.assistantEvent, Json::array({make(command)}), layout);
            continue;
        }
        Count c = countOurs(valueOf(text, *p->list), assistant.shape, b.agentEvent, command);
        if (c.ours == 1 && c.current == 1) continue;
        if (c.ours > 0) {
            removeOursText(text, *p->list, assistant.shape, b.agentEvent);
            p = locate(text, b.assistantEvent);
            if (!p || !p->list) return refused(kNotUnderstood);
        }
        appendItem(text, *p->list, nullptr, make(command), layout);
    }
    return finish(out, std::move(text), expected);
}

Outcome uninstall(std::string_view original, const Assistant& assistant) {
    auto parsed = json::parse(original);
    if (!parsed) return refused("it is not valid JSON");
    if (std::string error = shapeError(*parsed, assistant); !error.empty()) return refused(error);
    if (std::string error = repeatedKeyError(std::string(original)); !error.empty()) return refused(error);
    Json expected = *parsed;
    Outcome out = uninstallValue(expected, assistant);
    if (!out.changed()) return out;
    std::string text(original);
    for (const EventBinding& b : assistant.events) {
        auto p = locate(text, b.assistantEvent);
        if (!p) return refused(kNotUnderstood);
        if (!p->list) continue;
        if (removeOursText(text, *p->list, assistant.shape, b.agentEvent) == 0) continue;
        p = locate(text, b.assistantEvent);
        if (!p || !p->list) return refused(kNotUnderstood);
        if (p->list->items.empty()) removeItem(text, *p->hooks, *memberIndex(*p->hooks, b.assistantEvent));
    }
    auto p = locate(text, "");
    if (!p) return refused(kNotUnderstood);
    if (p->hooks && p->hooks->items.empty()) removeItem(text, p->root, *memberIndex(p->root, "hooks"));
    return finish(out, std::move(text), expected);
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

}  // namespace vemlo::ctl::JsonHookEdit
