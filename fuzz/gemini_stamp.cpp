// Gemini's BeforeTool event as a model could shape it: without the secret the answer never carries a
// stamp (no top-level key, no marked "dir_path"), so nothing the model writes is ever honoured; with
// it, a stamped answer holds the secret exactly once as the key (and once in the shell's folder) and
// keeps every other argument as it came. The first byte picks the tool, the rest is the arguments.
#include "FuzzCheck.h"
#include "hook/GeminiStamp.h"
#include "leversync/GeminiPolicyFile.h"

#include <cstdint>
#include <string>

using namespace vemlo;

namespace {

const std::string kSecret = "00112233445566778899aabbccddeeff";
const char* const kTools[] = {"run_shell_command", "write_file", "ask_user", "exit_plan_mode"};

bool marked(const Json& args) {
    if (args.contains(GeminiPolicyFile::kStampKey)) return true;
    auto dir = args.find("dir_path");
    return dir != args.end() && dir->is_string() &&
           dir->get_ref<const std::string&>().find(GeminiPolicyFile::kDirMark) != std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::string tool = kTools[data[0] % 4];
    const auto args = json::parse(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));
    if (!args) return 0;
    const Json event = {{"tool_name", tool}, {"tool_input", *args}};

    const Json plain = GeminiStamp::answer(event, std::nullopt);
    FUZZ_CHECK(plain.empty() || !marked(plain.at("hookSpecificOutput").at("tool_input")));
    FUZZ_CHECK(!plain.empty() || !args->is_object() || !marked(*args));

    bool stamped = false;
    const Json granted = GeminiStamp::answer(event, kSecret, &stamped);
    if (!stamped) {
        FUZZ_CHECK(granted == plain);
        return 0;
    }
    FUZZ_CHECK(args->is_object() && !GeminiStamp::neverStamped(tool));
    const Json& out = granted.at("hookSpecificOutput").at("tool_input");
    FUZZ_CHECK(out.at(std::string(GeminiPolicyFile::kStampKey)) == kSecret);
    for (const auto& [key, value] : args->items())
        if (key != GeminiPolicyFile::kStampKey && key != "dir_path") FUZZ_CHECK(out.contains(key) && out.at(key) == value);
    if (tool == "run_shell_command") {
        const std::string& dir = out.at("dir_path").get_ref<const std::string&>();
        const std::string tail = std::string(GeminiPolicyFile::kDirMark) + kSecret + "/..";
        FUZZ_CHECK(dir.ends_with(tail) && dir.find(GeminiPolicyFile::kDirMark) == dir.size() - tail.size());
    }
    return 0;
}
