#pragma once

#include "hook/AgentRequest.h"
#include "hook/Diagnostics.h"
#include "platform/Files.h"
#include "platform/Json.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// What every hook handler shares: the one-shot request to the agent, the explanation of a refusal
// on standard error and the summary of standard input for logs (the logs: hook/Diagnostics.h).
namespace vemlo::HookSupport {

// Explains on standard error why a permission request was not approved automatically; writes
// nothing when `switchState` is 0.
void emitPermissionStderr(std::string_view ide, std::string_view hookName, const std::optional<Json>& reply,
                          std::optional<int64_t> switchState);

// The text emitPermissionStderr writes (empty when it writes nothing).
std::string permissionStderrMessage(std::string_view ide, std::string_view hookName, bool hasReply,
                                    std::optional<int64_t> switchState);

// A small summary of the hook's standard input for diagnostics: its size, `label`, and a few
// top-level string members, long ones cut to whole user-perceived characters. Never fails.
Json parseStdinContext(std::string_view data, std::string_view label);

// Reads an integer out of a loosely typed value (`nullptr` for a missing member): integers, other
// numbers truncated toward zero, booleans as 1 and 0, and strings of an optional sign and decimal
// digits. Anything else is absent.
std::optional<int64_t> intValue(const Json* value);

// `object[key]` when `object` is an object that has it, else nullptr.
const Json* member(const Json& object, std::string_view key);

// A bounded text for debug logs: strings and arrays of strings as text, numbers in decimal,
// anything else as compact JSON; cut to `maxLen` user-perceived characters (numbers are not cut).
std::string stringifyDebugValue(const Json& value, int64_t maxLen);

// All of standard input; empty on a read error.
std::string readStandardInput();

// Writes all of `bytes` to a descriptor; false on an error.
using files::writeAll;

}  // namespace vemlo::HookSupport
