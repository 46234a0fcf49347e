#pragma once

#include "ctl/HookRegistrations.h"
#include "platform/Json.h"

#include <string>
#include <string_view>

namespace vemlo::ctl::JsonHookEdit {

struct Outcome {
    std::string error;  // non-empty: the document has a shape we do not understand and was not touched
    int added = 0;
    int removed = 0;
    bool changed() const { return added > 0 || removed > 0; }
};

// The hook timeout, in seconds, of a file of our own (Assistant::hookTimeout for the other shapes).
// The agent answers a permission request within about 1.5 s and a hook gives up on it after 5 s.
inline constexpr int kHookTimeoutSeconds = 10;

// Makes `root` hold exactly one hook of ours with the current command for every event of
// `assistant`; hooks of ours with another command (an older install elsewhere) are replaced. Every
// other member and every hook of the user's stays where it is. A document already in that state is
// left as it is. `root` is left untouched when the outcome carries an error.
Outcome install(Json& root, const Assistant& assistant, const std::string& agentPath);

// Removes every hook of ours, and the groups, event lists and the "hooks" object that only existed
// to hold them.
Outcome uninstall(Json& root, const Assistant& assistant);

// How many of the assistant's events have a hook of ours, whatever its path.
int registeredEvents(const Json& root, const Assistant& assistant);

// The document serialised the way `original` was written: on one line, or with the same
// indentation; the same line ends, and a final line end when it had one (or when there was no
// file). Strings stay UTF-8.
std::string serializeLike(const Json& root, std::string_view original);

}  // namespace vemlo::ctl::JsonHookEdit
