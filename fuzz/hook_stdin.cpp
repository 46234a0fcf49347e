// A hook's standard input as the assistants send it (or not): the summary for the logs never fails,
// always prints as JSON, and only ever holds prefixes of what was sent; intValue reads a number the
// way the member's text spells it, whatever the JSON type. The same bytes are also tried nested in
// "tool_input" as deep as the first two bytes say (up to 100,000 levels): too deep is malformed,
// and the permission record is still built and printed, so the hook can always answer.
#include "FuzzCheck.h"
#include "hook/CursorHookDebug.h"
#include "hook/HookSupport.h"
#include "hook/Redaction.h"
#include "platform/Text.h"

#include <charconv>
#include <cstdint>
#include <string>

using namespace vemlo;

namespace {

bool isPrefixOf(const Json& summary, const char* key, const Json& input, const char* from) {
    const auto it = summary.find(key);
    if (it == summary.end()) return true;
    const Json* source = HookSupport::member(input, from);
    return source && source->is_string() && it->is_string() &&
           source->get_ref<const std::string&>().starts_with(it->get_ref<const std::string&>());
}

void checkIntValue(const Json& value) {
    const std::optional<int64_t> read = HookSupport::intValue(&value);
    if (value.is_string()) {
        const std::string& s = value.get_ref<const std::string&>();
        std::string_view digits = s;
        if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) digits.remove_prefix(1);
        const bool shaped = !digits.empty() && digits.find_first_not_of("0123456789") == std::string_view::npos;
        if (!shaped) FUZZ_CHECK(!read);
        if (read) {
            // Printed back, the number is the string without a plus sign or leading zeros.
            std::string expected(s.front() == '-' ? "-" : "");
            const size_t first = digits.find_first_not_of('0');
            expected += first == std::string_view::npos ? "0" : std::string(digits.substr(first));
            if (expected == "-0") expected = "0";
            FUZZ_CHECK(std::to_string(*read) == expected);
        }
    } else if (value.is_boolean()) {
        FUZZ_CHECK(read == (value.get<bool>() ? 1 : 0));
    } else if (value.is_number_integer() && !value.is_number_unsigned()) {
        FUZZ_CHECK(read == value.get<int64_t>());
    } else if (value.is_number()) {
        FUZZ_CHECK(read.has_value());
    } else {
        FUZZ_CHECK(!read);
    }
}

// `inner` under {"tool_input":{"data": ... }} inside `depth` arrays.
std::string nestedIn(std::string_view inner, size_t depth) {
    return "{\"tool_name\":\"Bash\",\"tool_input\":{\"data\":" + std::string(depth, '[') + std::string(inner) +
           std::string(depth, ']') + "}}";
}

void checkNested(std::string_view bytes, size_t depth) {
    const std::string text = nestedIn(bytes, depth);
    const std::optional<Json> parsed = json::parse(text);
    if (depth + 2 > json::kMaxNesting) FUZZ_CHECK(!parsed);
    const Json summary = HookSupport::parseStdinContext(text, "fuzz");
    FUZZ_CHECK(summary.value("stdinBytes", uint64_t{0}) == text.size());
    FUZZ_CHECK(summary.contains("tool_name") == parsed.has_value());
    if (parsed)
        for (const auto& [key, value] : parsed->items()) (void)HookSupport::stringifyDebugValue(value, 220);
    (void)HookSupport::cursorStdinDebugFields(text);
    const Json record =
        HookSupport::permissionRecord("fuzz", "PermissionRequest", HookSupport::LeverReading{}, summary);
    FUZZ_CHECK(!json::dumpCompact(record).empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    if (size >= 2) checkNested(bytes.substr(2), (size_t{data[0]} << 8 | data[1]) * 100'000 / 65'535);
    const Json summary = HookSupport::parseStdinContext(bytes, "fuzz");
    FUZZ_CHECK(summary.is_object());
    FUZZ_CHECK(summary.value("stdinBytes", uint64_t{0}) == size);
    FUZZ_CHECK(summary.value("parser", std::string()) == "fuzz");
    // The summary goes to a log line: one valid UTF-8 JSON object that reads back the same.
    const std::string line = json::dumpCompact(summary);
    FUZZ_CHECK(text::isValidUtf8(line) && line.find('\n') == std::string::npos);
    const std::optional<Json> back = json::parseObject(line);
    FUZZ_CHECK(back && *back == summary);

    const std::optional<Json> input = json::parseObject(bytes);
    if (!input) {
        FUZZ_CHECK(summary.size() == 2);
        return 0;
    }
    // A top-level command is shown masked, then cut; a nested one only when there is none.
    if (const Json* command = HookSupport::member(*input, "command"); command && command->is_string()) {
        const std::string masked = HookSupport::redactedCommandPreview(command->get<std::string>(), SIZE_MAX);
        FUZZ_CHECK(summary.contains("commandPreview") &&
                   masked.starts_with(summary["commandPreview"].get_ref<const std::string&>()));
    }
    FUZZ_CHECK(isPrefixOf(summary, "cwdPreview", *input, "cwd"));
    FUZZ_CHECK(isPrefixOf(summary, "session_id_short", *input, "session_id"));
    FUZZ_CHECK(isPrefixOf(summary, "tool_name", *input, "tool_name") ||
               isPrefixOf(summary, "tool_name", *input, "toolName") || isPrefixOf(summary, "name", *input, "name"));
    FUZZ_CHECK(!HookSupport::intValue(nullptr));
    for (const auto& [key, value] : input->items()) checkIntValue(value);
    return 0;
}
