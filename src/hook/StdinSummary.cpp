#include "hook/StdinSummary.h"

#include "hook/Redaction.h"

#include "platform/Text.h"

#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <limits>

namespace vemlo::HookSupport {
namespace {

// A saturating conversion: doubles beyond the 64-bit range keep the sign and the direction.
int64_t truncateToInt64(double d) {
    if (std::isnan(d)) return 0;
    if (d >= 9.2233720368547758e18) return std::numeric_limits<int64_t>::max();
    if (d <= -9.2233720368547758e18) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(d);
}

std::optional<int64_t> parseDecimal(std::string_view s) {
    // An optional single sign, then digits only: " 7", "7 ", "+-7" and "" are not numbers.
    std::string_view digits = s;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) digits.remove_prefix(1);
    if (digits.empty()) return std::nullopt;
    for (char c : digits)
        if (c < '0' || c > '9') return std::nullopt;
    // from_chars accepts a leading minus but not a plus.
    std::string_view number = s.front() == '+' ? digits : s;
    int64_t value = 0;
    auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (ec != std::errc() || end != number.data() + number.size()) return std::nullopt;
    return value;
}

std::string prefix(std::string_view s, int64_t count) {
    return std::string(text::prefixGraphemes(s, count < 0 ? 0 : static_cast<size_t>(count)));
}

void copyString(Json& out, const Json& in, std::string_view from, const char* to, size_t maxCharacters = 0) {
    const Json* value = member(in, from);
    if (!value || !value->is_string()) return;
    const std::string& s = value->get_ref<const std::string&>();
    out[to] = maxCharacters ? std::string(text::prefixGraphemes(s, maxCharacters)) : s;
}

const std::string* stringMember(const Json& object, std::string_view key) {
    const Json* value = member(object, key);
    return value && value->is_string() ? &value->get_ref<const std::string&>() : nullptr;
}

// The command of a tool call: a top-level "command", else the one in "tool_input", else the one in
// Copilot's "toolArgs", which may also come as JSON text (then parsed into `scratch`). Not copied: a
// command may be most of a 16 MiB input.
const std::string* commandOf(const Json& input, std::optional<Json>& scratch) {
    if (const std::string* command = stringMember(input, "command")) return command;
    if (const Json* toolInput = member(input, "tool_input"))
        if (const std::string* command = stringMember(*toolInput, "command")) return command;
    const Json* toolArgs = member(input, "toolArgs");
    if (!toolArgs) return nullptr;
    if (const std::string* command = stringMember(*toolArgs, "command")) return command;
    if (!toolArgs->is_string()) return nullptr;
    scratch = json::parseObjectMembers(
        toolArgs->get_ref<const std::string&>(), [](std::string_view key) { return key == "command"; },
        /*containersAsNull=*/true);
    return scratch ? stringMember(*scratch, "command") : nullptr;
}

}  // namespace

const Json* member(const Json& object, std::string_view key) {
    if (!object.is_object()) return nullptr;
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

std::optional<int64_t> intValue(const Json* value) {
    if (!value) return std::nullopt;
    if (value->is_number_unsigned()) {
        const auto u = value->get<uint64_t>();
        return u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) ? std::numeric_limits<int64_t>::max()
                                                                              : static_cast<int64_t>(u);
    }
    if (value->is_number_integer()) return value->get<int64_t>();
    if (value->is_number_float()) return truncateToInt64(value->get<double>());
    if (value->is_boolean()) return value->get<bool>() ? 1 : 0;
    if (value->is_string()) return parseDecimal(value->get_ref<const std::string&>());
    return std::nullopt;
}

Json parseStdinContext(std::string_view data, std::string_view label) {
    Json context = Json::object();
    context["stdinBytes"] = data.size();
    context["parser"] = label;
    if (data.empty()) return context;
    // Only the members read below are built, and only strings are read: the rest of a large input
    // costs its parsing alone. Claude and Kimi nest the command in "tool_input", Copilot in
    // "toolArgs" (an object, or an object's JSON text).
    static constexpr std::string_view kRead[] = {"tool_name", "toolName",        "command",    "tool_input", "toolArgs",
                                                 "name",      "hook_event_name", "session_id", "cwd"};
    static const json::NestedFilter kReadInside = [](std::string_view member, std::string_view key) {
        return (member == "tool_input" || member == "toolArgs") && key == "command";
    };
    auto input = json::parseObjectMembers(
        data,
        [](std::string_view key) { return std::find(std::begin(kRead), std::end(kRead), key) != std::end(kRead); },
        /*containersAsNull=*/true, 0, &kReadInside);
    if (!input) return context;
    copyString(context, *input, "tool_name", "tool_name");
    if (!context.contains("tool_name")) copyString(context, *input, "toolName", "tool_name");
    std::optional<Json> toolArgs;
    if (const std::string* command = commandOf(*input, toolArgs))
        context["commandPreview"] = redactedCommandPreview(*command, 120);
    if (!context.contains("tool_name")) copyString(context, *input, "name", "name");
    copyString(context, *input, "hook_event_name", "hook_event_name");
    copyString(context, *input, "session_id", "session_id_short", 16);
    copyString(context, *input, "cwd", "cwdPreview", 120);
    return context;
}

std::string stringifyDebugValue(const Json& value, int64_t maxLen) {
    if (value.is_string()) return prefix(value.get_ref<const std::string&>(), maxLen);
    // Booleans print as numbers, the same reading intValue gives them.
    if (value.is_boolean()) return value.get<bool>() ? "1" : "0";
    if (value.is_number()) return json::dumpCompact(value);
    if (value.is_array() && std::all_of(value.begin(), value.end(), [](const Json& v) { return v.is_string(); })) {
        std::string joined;
        size_t taken = 0;
        for (const Json& element : value) {
            if (taken == 12) break;
            if (taken++ > 0) joined += ", ";
            joined += element.get_ref<const std::string&>();
        }
        return prefix(joined, maxLen);
    }
    return prefix(json::dumpCompact(value), maxLen);
}

std::string readStandardInput(bool* cut, size_t limit) {
    if (cut) *cut = false;
    std::string data;
    char buffer[65536];
    // One byte past the limit tells a cut input from one of exactly the limit's size.
    while (data.size() <= limit) {
        const size_t want = std::min(sizeof buffer, limit + 1 - data.size());
        ssize_t n = ::read(STDIN_FILENO, buffer, want);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return {};
        if (n == 0) return data;
        data.append(buffer, static_cast<size_t>(n));
    }
    data.resize(limit);
    if (cut) *cut = true;
    return data;
}

StandardInput readAndSummarizeStandardInput(std::string_view label, size_t limit) {
    bool cut = false;
    StandardInput input;
    input.bytes = readStandardInput(&cut, limit);
    if (!cut) {
        const size_t received = input.bytes.size();
        // Every record shows a string's first characters only (a tool name past 1 MiB is cut too).
        json::shortenLongStrings(input.bytes, kKeptStringBytes);
        input.summary = parseStdinContext(input.bytes, label);
        input.summary["stdinBytes"] = received;
        return input;
    }
    input.summary = parseStdinContext({}, label);
    input.summary["stdinBytes"] = input.bytes.size();
    input.summary["stdinCut"] = true;
    input.bytes.clear();
    return input;
}

}  // namespace vemlo::HookSupport
