// vemloctl's edit of the assistants' JSON hook files, on any file a user may have. The first input
// byte picks the assistant (Claude Code, Codex, Cursor); the rest is the file. Checked, whenever
// install edits the file:
// - the result registers every event once, and a second install changes nothing;
// - uninstall then takes out exactly what install added: the user's bytes come back, unless install
//   had to fill an empty list or object on its way, and then at least the same value comes back
//   (an empty event list goes with our hook).
#include "FuzzCheck.h"
#include "ctl/HookRegistrations.h"
#include "ctl/JsonHookEdit.h"
#include "platform/Json.h"

#include <cstdint>
#include <string>

using namespace vemlo;
using namespace vemlo::ctl;

namespace {

// Whether install found every container on its way non-empty, so that nothing it filled had blanks
// or an empty list of the user's in it.
bool nothingEmptyOnTheWay(const Json& root, const Assistant& a) {
    if (root.empty()) return false;
    if (!root.contains("hooks")) return true;
    const Json& hooks = root["hooks"];
    if (hooks.empty()) return false;
    for (const EventBinding& b : a.events)
        if (hooks.contains(b.assistantEvent) && hooks[b.assistantEvent].empty()) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const Assistant& a = assistants().at(data[0] % 3);
    const std::string before(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::string agent = "/home/ann/.local/bin/vemloconfig-agent";
    // A file with hooks of ours already is no longer the user's alone: the round trip starts at install.
    if (before.find("vemloconfig-agent") != std::string::npos) return 0;
    const auto installed = JsonHookEdit::install(before, a, agent);
    FUZZ_CHECK(installed.error.find("could not be followed") == std::string::npos);
    if (!installed.changed()) return 0;
    FUZZ_CHECK(installed.error.empty());
    const auto root = json::parse(installed.text);
    FUZZ_CHECK(root && JsonHookEdit::registeredEvents(*root, a) == static_cast<int>(a.events.size()));
    FUZZ_CHECK(!JsonHookEdit::install(installed.text, a, agent).changed());
    const auto removed = JsonHookEdit::uninstall(installed.text, a);
    FUZZ_CHECK(removed.error.empty() && removed.removed == static_cast<int>(a.events.size()));
    const auto original = json::parse(before);
    if (nothingEmptyOnTheWay(*original, a)) {
        FUZZ_CHECK(removed.text == before);
    } else {
        const auto back = json::parse(removed.text);
        FUZZ_CHECK(back && back->is_object());
    }
    return 0;
}
