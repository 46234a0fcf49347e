#include "hook/CursorHookDebug.h"
#include "hook/HookSupport.h"
#include "platform/Files.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace vemlo {
namespace {

// The real limit is 16 MiB; a small one keeps the cut cases fast under the sanitizers (the process
// tests and the benchmark run the real one).
constexpr size_t kLimit = 64 * 1024;

// `bytes` as this process's standard input, for as long as the object lives.
class StandardInputFrom {
public:
    explicit StandardInputFrom(const std::string& bytes) {
        const std::string path = dir_.file("stdin");
        EXPECT_TRUE(files::atomicWrite(path, bytes));
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        saved_ = ::dup(STDIN_FILENO);
        EXPECT_TRUE(fd >= 0 && saved_ >= 0 && ::dup2(fd, STDIN_FILENO) == STDIN_FILENO);
        ::close(fd);
    }
    ~StandardInputFrom() {
        ::dup2(saved_, STDIN_FILENO);
        ::close(saved_);
    }

private:
    test::TempDir dir_;
    int saved_ = -1;
};

std::string deep(size_t depth) { return std::string(depth, '[') + "0" + std::string(depth, ']'); }

std::string wide(size_t members) {
    std::string text = "{";
    for (size_t i = 0; i < members; ++i) text += "\"m" + std::to_string(i) + "\":0,";
    return text + "\"tool_name\":\"Bash\"}";
}

std::string summaryOf(size_t size, std::string_view rest = "") {
    return "{\"stdinBytes\":" + std::to_string(size) + ",\"parser\":\"Claude\"" + std::string(rest) + "}";
}

// What an assistant, or whoever controls what it sends, can put on a hook's standard input. Every
// case is read, summarised and rendered for the Cursor record without a crash; too deep is malformed.
TEST(HostileStdin, IsReadBoundedAndSummarisedSafely) {
    struct Case {
        const char* name;
        std::string input;
        bool cut;  // past the limit: nothing is kept for the readers of the event
        std::string summary;
        std::string cursorFields;
    };
    const std::string deepTool = "{\"tool_name\":\"Bash\",\"tool_input\":{\"data\":" + deep(30'000) + "}}";
    const std::string deepCwd = "{\"cwd\":" + deep(30'000) + "}";
    const std::string atBound = "{\"tool_name\":\"Bash\",\"cwd\":" + deep(json::kMaxNesting - 1) + "}";
    const std::string wideInput = wide(5'000);
    const std::string name(kLimit - 16, 'x');  // makes the object below exactly kLimit bytes
    const std::string longString = "{\"tool_name\":\"" + name + "\"}";
    const std::vector<Case> cases = {
        {"DeepToolInput", deepTool, false, summaryOf(deepTool.size()), R"({"parse":"empty_or_invalid_json"})"},
        {"DeepCwd", deepCwd, false, summaryOf(deepCwd.size()), R"({"parse":"empty_or_invalid_json"})"},
        {"AtTheNestingBound", atBound, false, summaryOf(atBound.size(), R"(,"tool_name":"Bash")"),
         R"({"cwd":")" + std::string(220, '[') + "\"}"},  // rendered, then cut to 220 characters
        {"WideObject", wideInput, false, summaryOf(wideInput.size(), R"(,"tool_name":"Bash")"),
         R"({"note":"no_whitelisted_keys_in_stdin"})"},
        {"ExactlyTheLimit", longString, false, summaryOf(kLimit, R"(,"tool_name":")" + name + "\""),
         R"({"note":"no_whitelisted_keys_in_stdin"})"},
        // Only the start of what was sent: not parsed, even where that start is a whole value.
        {"PastTheLimitIsCut", longString + "    ", true, summaryOf(kLimit, R"(,"stdinCut":true)"),
         R"({"parse":"empty_or_invalid_json"})"},
        {"FarPastTheLimit", "[\"" + std::string(kLimit * 4, 'y') + "\"]", true,
         summaryOf(kLimit, R"(,"stdinCut":true)"), R"({"parse":"empty_or_invalid_json"})"},
        {"NulAfterTheObject", std::string("{\"tool_name\":\"Bash\"}\0", 21), false, summaryOf(21),
         R"({"parse":"empty_or_invalid_json"})"},
    };
    for (const Case& c : cases) {
        StandardInputFrom input(c.input);
        const HookSupport::StandardInput read = HookSupport::readAndSummarizeStandardInput("Claude", kLimit);
        EXPECT_EQ(read.bytes, c.cut ? "" : c.input) << c.name;
        EXPECT_EQ(json::dumpCompact(read.summary), c.summary) << c.name;
        EXPECT_EQ(json::dumpCompact(HookSupport::cursorStdinDebugFields(read.bytes)), c.cursorFields) << c.name;
    }
}

}  // namespace
}  // namespace vemlo
