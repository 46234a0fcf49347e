#include "ctl/KimiHookBlock.h"

#include "platform/Toml.h"

#include <algorithm>
#include <cstdio>
#include <set>
#include <vector>

namespace vemlo::ctl::KimiHookBlock {
namespace {

constexpr size_t kNone = static_cast<size_t>(-1);

std::string tomlString(std::string_view value) {
    std::string out = "\"";
    for (char c : value) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04X", static_cast<unsigned>(static_cast<unsigned char>(c)));
            out += buf;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// What the file holds that install and uninstall care about.
struct Analysis {
    std::string error;
    size_t blockBegin = kNone;  // marker lines of our block
    size_t blockEnd = kNone;
    std::vector<std::pair<size_t, size_t>> strays;  // line ranges of [[hooks]] tables of ours outside the block
    std::vector<size_t> ours;                        // indices of our tables in the hooks array
    std::vector<size_t> emptyHooksLines;            // top-level "hooks = []" lines
    int oursInBlock = 0;
    int userTables = 0;                // [[hooks]] tables of the user's, in any place
    std::set<std::string> registered;  // agent events that have a table of ours

    bool inBlock(size_t line) const { return blockBegin != kNone && line >= blockBegin && line <= blockEnd; }
};

Analysis analyse(const toml::Document& doc, const toml::Lines& lines, const Assistant& kimi) {
    Analysis a;
    if (!doc.ok()) {
        a.error = "it is not valid TOML (" + doc.error() + ")";
        return a;
    }
    std::vector<size_t> begins, ends;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines.content(i) == kBeginMarker) begins.push_back(i);
        if (lines.content(i) == kEndMarker) ends.push_back(i);
    }
    if (begins.size() > 1 || ends.size() > 1 || begins.size() != ends.size() ||
        (!begins.empty() && ends[0] < begins[0])) {
        a.error = "the marker lines of the vemloctl block are damaged; mend or delete that block by hand";
        return a;
    }
    if (!begins.empty()) {
        a.blockBegin = begins[0];
        a.blockEnd = ends[0];
    }

    const toml::TopLevel hooks = doc.topLevel("hooks");
    switch (hooks.kind) {
    case toml::TopLevel::Kind::absent:
    case toml::TopLevel::Kind::arrayOfTables:
        break;
    case toml::TopLevel::Kind::headerTable:
        a.error = "it defines a [hooks] table, which [[hooks]] entries cannot join; Kimi CLI expects [[hooks]]";
        return a;
    case toml::TopLevel::Kind::value:
        if (hooks.emptyArray && hooks.firstLine == hooks.lastLine) {
            a.emptyHooksLines.push_back(hooks.firstLine);
            break;
        }
        [[fallthrough]];
    case toml::TopLevel::Kind::dottedTable:
        a.error =
            "it sets \"hooks\" at its top level, and [[hooks]] tables cannot be added beside that "
            "without rewriting it; write those hooks as [[hooks]] tables and run install again";
        return a;
    }

    // Where each [[hooks]] table ends: at the next header, or at a marker line of our block.
    std::vector<size_t> boundaries = doc.headerLines();
    boundaries.push_back(lines.size());
    if (a.blockBegin != kNone) {
        boundaries.push_back(a.blockBegin);
        boundaries.push_back(a.blockEnd + 1);
    }
    std::sort(boundaries.begin(), boundaries.end());

    for (size_t index = 0; index < hooks.tables.size(); ++index) {
        const toml::ArrayTable& t = hooks.tables[index];
        const auto event = t.strings.find("event");
        const auto command = t.strings.find("command");
        bool ours = false;
        for (const EventBinding& b : kimi.events) {
            if (event != t.strings.end() && event->second == b.assistantEvent && command != t.strings.end() &&
                isAgentHookCommand(command->second, b.agentEvent)) {
                ours = true;
                a.registered.insert(b.agentEvent);
            }
        }
        if (ours) a.ours.push_back(index);
        if (!ours) {
            ++a.userTables;
        } else if (a.inBlock(t.headerLine)) {
            ++a.oursInBlock;
        } else {
            size_t next = *std::upper_bound(boundaries.begin(), boundaries.end(), t.headerLine);
            a.strays.emplace_back(t.headerLine, next - 1);
        }
    }
    return a;
}

// The lines that our block and the blank line before it occupy, plus stray tables of ours.
std::vector<bool> linesToDrop(const Analysis& a, const toml::Lines& lines) {
    std::vector<bool> drop(lines.size(), false);
    if (a.blockBegin != kNone) {
        for (size_t i = a.blockBegin; i <= a.blockEnd; ++i) drop[i] = true;
        if (a.blockBegin > 0 && lines.content(a.blockBegin - 1).empty()) drop[a.blockBegin - 1] = true;
    }
    for (auto [first, last] : a.strays)
        for (size_t i = first; i <= last; ++i) drop[i] = true;
    return drop;
}

// The edit is proven before it is given out: the result reads, holds the same data as the input
// under every key but "hooks", and the same tables of the person's own under "hooks", in order.
std::string unproven(const toml::Document& before, const Analysis& a, const toml::Document& after,
                     const Analysis& check) {
    if (!check.error.empty()) return check.error;
    if (!before.sameExcept(after, "hooks") || !before.sameArrayWithout("hooks", a.ours, after, check.ours))
        return "the result would change more than our [[hooks]] tables";
    return {};
}

}  // namespace

std::string block(const Assistant& kimi, const std::string& agentPath, std::string_view eol) {
    std::string out(kBeginMarker);
    out += eol;
    for (size_t i = 0; i < kimi.events.size(); ++i) {
        const EventBinding& b = kimi.events[i];
        if (i > 0) out += eol;
        out += "[[hooks]]";
        out += eol;
        out += "event = " + tomlString(b.assistantEvent);
        out += eol;
        out += "command = " + tomlString(hookCommand(agentPath, b.agentEvent));
        out += eol;
        out += "timeout = " + std::to_string(kHookTimeoutSeconds);
        out += eol;
    }
    out += kEndMarker;
    out += eol;
    return out;
}

Outcome install(std::string_view text, const Assistant& kimi, const std::string& agentPath) {
    Outcome out;
    out.text = std::string(text);
    const toml::Lines lines(text);
    const toml::Document doc(text);
    const Analysis a = analyse(doc, lines, kimi);
    if (!a.error.empty()) {
        out.error = a.error;
        return out;
    }
    const std::string_view eol = lines.lineEnd();
    const std::string wanted = block(kimi, agentPath, eol);
    bool blockCurrent = false;
    if (a.blockBegin != kNone) {
        std::string existing;
        for (size_t i = a.blockBegin; i <= a.blockEnd; ++i) {
            existing += lines.content(i);
            existing += eol;
        }
        blockCurrent = existing == wanted;
    }
    if (blockCurrent && a.strays.empty() && a.emptyHooksLines.empty()) return out;

    const std::vector<bool> drop = linesToDrop(a, lines);
    std::string result;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (drop[i]) continue;
        if (std::find(a.emptyHooksLines.begin(), a.emptyHooksLines.end(), i) != a.emptyHooksLines.end())
            result += kDisabledLinePrefix;
        result += lines.content(i);
        result += lines.terminator(i);
    }
    if (!result.empty()) {
        if (result.back() != '\n') result += eol;
        result += eol;
    }
    result += wanted;

    const toml::Document resultDoc(result);
    const Analysis check = analyse(resultDoc, toml::Lines(result), kimi);
    std::string why = unproven(doc, a, resultDoc, check);
    if (why.empty() && check.registered.size() != kimi.events.size()) why = "not every event would have our hook";
    if (!why.empty()) {
        out.error = "adding the hooks was not done, the result would not be right (" + why + ")";
        return out;
    }
    out.text = std::move(result);
    out.added = static_cast<int>(kimi.events.size());
    out.removed = a.oursInBlock + static_cast<int>(a.strays.size());
    out.changed = true;
    return out;
}

Outcome uninstall(std::string_view text, const Assistant& kimi) {
    Outcome out;
    out.text = std::string(text);
    const toml::Lines lines(text);
    const toml::Document doc(text);
    const Analysis a = analyse(doc, lines, kimi);
    if (!a.error.empty()) {
        out.error = a.error;
        return out;
    }
    const std::vector<bool> drop = linesToDrop(a, lines);
    // A disabled "hooks = []" may come back only when no [[hooks]] table would remain beside it.
    const bool restore = a.userTables == 0;
    std::string result;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (drop[i]) continue;
        std::string_view content = lines.content(i);
        if (restore && content.substr(0, kDisabledLinePrefix.size()) == kDisabledLinePrefix)
            content.remove_prefix(kDisabledLinePrefix.size());
        result += content;
        result += lines.terminator(i);
    }
    if (result == text) return out;
    const toml::Document resultDoc(result);
    const Analysis check = analyse(resultDoc, toml::Lines(result), kimi);
    std::string why = unproven(doc, a, resultDoc, check);
    if (why.empty() && !check.ours.empty()) why = "a table of ours would remain";
    if (!why.empty()) {
        out.error = "removing the hooks was not done, the result would not be right (" + why + ")";
        return out;
    }
    out.text = std::move(result);
    out.removed = a.oursInBlock + static_cast<int>(a.strays.size());
    out.changed = true;
    return out;
}

int registeredEvents(std::string_view text, const Assistant& kimi) {
    const Analysis a = analyse(toml::Document(text), toml::Lines(text), kimi);
    return a.error.empty() ? static_cast<int>(a.registered.size()) : 0;
}

}  // namespace vemlo::ctl::KimiHookBlock
