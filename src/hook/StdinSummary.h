#pragma once

#include "platform/Json.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// What the hooks take from their standard input: the bytes, read once and bounded, and a small
// summary of them for the diagnostics records.
namespace vemlo::HookSupport {

// The most a hook reads of its standard input. An assistant sends a few kilobytes; past this the
// rest is left unread and the hook decides on what it has.
inline constexpr size_t kMaxStandardInputBytes = 16 * 1024 * 1024;
// A string longer than this is read as its start only (json::shortenLongStrings).
inline constexpr size_t kKeptStringBytes = 1024 * 1024;

// Standard input up to its end or `limit` bytes, whichever comes first; empty on a read error.
// `cut`, when given, is set to whether input was left unread.
std::string readStandardInput(bool* cut = nullptr, size_t limit = kMaxStandardInputBytes);

// A small summary of the hook's standard input for diagnostics: its size, `label`, and a few
// string members, long ones cut to whole user-perceived characters: the tool's name ("tool_name",
// or Copilot's "toolName"), a preview of its command with secrets masked (a top-level "command",
// or the one inside "tool_input" or Copilot's "toolArgs"), the event, session and working
// directory. Never fails.
Json parseStdinContext(std::string_view data, std::string_view label);

// Standard input (read as readStandardInput does), its strings shortened to kKeptStringBytes, and
// its summary: parseStdinContext with `label`, "stdinBytes" the bytes received.
// A cut input is only the start of what was sent, so it is not parsed: its summary is the size, the
// label and "stdinCut": true, and `bytes` is left empty for whatever else would read the event.
struct StandardInput {
    std::string bytes;
    Json summary;
};
StandardInput readAndSummarizeStandardInput(std::string_view label, size_t limit = kMaxStandardInputBytes);

// Reads an integer out of a loosely typed value (`nullptr` for a missing member): integers, other
// numbers truncated toward zero, booleans as 1 and 0, and strings of an optional sign and decimal
// digits. Anything else is absent.
std::optional<int64_t> intValue(const Json* value);

// `object[key]` when `object` is an object that has it, else nullptr.
const Json* member(const Json& object, std::string_view key);

// A bounded text for debug logs: strings and arrays of strings as text, numbers in decimal,
// anything else as compact JSON; cut to `maxLen` user-perceived characters (numbers are not cut).
std::string stringifyDebugValue(const Json& value, int64_t maxLen);

}  // namespace vemlo::HookSupport
