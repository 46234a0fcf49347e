#pragma once

#include "ctl/HookRegistrations.h"
#include "platform/Json.h"

#include <functional>
#include <string>
#include <string_view>

// Our hooks in an assistant's JSON file, edited as text: the entries we add are inserted after the
// last entry of their list, in the layout of their neighbours, and the entries we take out are cut
// out with the separator that install put before them. Every other byte stays (number spellings,
// the layout of the user's own groups, comments-free whitespace), so uninstall after install gives
// back the file byte for byte, unless install had to fill an empty list or object on the way (an
// empty "hooks" list of an event goes with our hook, as before; an empty object keeps no inner blanks).
namespace vemlo::ctl::JsonHookEdit {

struct Outcome {
    std::string error;  // non-empty: the document has a shape we do not understand and was not touched
    std::string text;   // the edited document, when changed()
    int added = 0;
    int removed = 0;
    bool changed() const { return added > 0 || removed > 0; }
};

// The hook timeout, in seconds, of a file of our own (Assistant::hookTimeout for the other shapes).
// The agent answers a permission request within about 1.5 s and a hook gives up on it after 5 s.
inline constexpr int kHookTimeoutSeconds = 10;

// The entry added to an event's list for `command`; by default the assistant's shape decides
// (a matcher group {"matcher": "", "hooks": [{"type": "command", "command": ..., "timeout": 10}]}, or
// {"command": ...}). Our handlers are recognised by their "command" member either way.
using MakeEntry = std::function<Json(const std::string& command)>;

// The text of a new file of the assistant's, before install adds anything.
std::string emptyFileText(const Assistant& assistant);

// Makes the root object's "hooks" map hold exactly one hook of ours with the current command for
// every event of `assistant`; hooks of ours with another command (an older install elsewhere) are
// taken out. A document already in that state is left as it is (not changed()).
Outcome install(std::string_view text, const Assistant& assistant, const std::string& agentPath,
                const MakeEntry& makeEntry = {});

// Takes out every hook of ours, and the groups, event lists and the "hooks" object that only existed
// to hold them.
Outcome uninstall(std::string_view text, const Assistant& assistant);

// How many of the assistant's events have a hook of ours, whatever its path.
int registeredEvents(const Json& root, const Assistant& assistant);

}  // namespace vemlo::ctl::JsonHookEdit
