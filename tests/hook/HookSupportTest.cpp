#include "hook/CursorHookDebug.h"
#include "hook/HookSupport.h"
#include "platform/Files.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>
#include <limits>

namespace vemlo {
namespace {

using test::TempDir;

std::string repeat(std::string_view piece, size_t times) {
    std::string out;
    for (size_t i = 0; i < times; ++i) out += piece;
    return out;
}

// What the fuzz target's property leaves open: how numbers that are not plain integers are read.
TEST(IntValue, TruncatesAndSaturates) {
    constexpr int64_t kMax = std::numeric_limits<int64_t>::max(), kMin = std::numeric_limits<int64_t>::min();
    const std::pair<const char*, std::optional<int64_t>> cases[] = {
        {"2.9", 2},      {"-2.9", -2},        {"18446744073709551615", kMax}, {"-1e300", kMin},
        {"1e300", kMax}, {R"("-9223372036854775808")", kMin}, {R"("9223372036854775808")", {}}, {"[0]", {}},
    };
    for (const auto& [text, expected] : cases) {
        const Json value = *json::parse(text);
        EXPECT_EQ(HookSupport::intValue(&value), expected) << text;
    }
}

TEST(StdinContext, RenamesAndCutsTheMembersItKeeps) {
    const Json all = HookSupport::parseStdinContext(
        R"({"cwd":"/w","session_id":"s","hook_event_name":"E","name":"n","command":"ls","tool_name":"T","x":{"tool_name":"no"}})",
        "Claude");
    EXPECT_EQ(json::dumpCompact(all), R"({"stdinBytes":116,"parser":"Claude","tool_name":"T","commandPreview":"ls",)"
                                      R"("hook_event_name":"E","session_id_short":"s","cwdPreview":"/w"})");
    EXPECT_EQ(json::dumpCompact(HookSupport::parseStdinContext(R"({"tool_name":3,"name":"n"})", "Kimi")),
              R"({"stdinBytes":26,"parser":"Kimi","name":"n"})");
    const Json cut = HookSupport::parseStdinContext(
        json::dumpCompact(Json{{"command", repeat("c", 200)}, {"session_id", repeat("s", 40)}, {"cwd", repeat("中", 130)}}),
        "Claude");
    EXPECT_EQ(cut["commandPreview"], repeat("c", 120));
    EXPECT_EQ(cut["session_id_short"], repeat("s", 16));
    EXPECT_EQ(cut["cwdPreview"], repeat("中", 120));
    // A command whose 120th character is one of these keeps it whole.
    for (const std::string atCut : {"\U0001F468\u200D\U0001F469\u200D\U0001F467", "e\u0301", "\U0001F44D\U0001F3FD",
                                    "\U0001F1EF\U0001F1F5", "\u1100\u1161\u11A8", "\r\n"}) {
        const Json context =
            HookSupport::parseStdinContext(json::dumpCompact(Json{{"command", repeat("a", 119) + atCut + "tail"}}), "C");
        EXPECT_EQ(context["commandPreview"], repeat("a", 119) + atCut);
    }
}

// `bytes` as this process's standard input, for as long as the object lives.
class StandardInputFrom {
public:
    explicit StandardInputFrom(const std::string& bytes) {
        EXPECT_TRUE(files::atomicWrite(dir_.file("stdin"), bytes));
        const int fd = ::open(dir_.file("stdin").c_str(), O_RDONLY | O_CLOEXEC);
        saved_ = ::dup(STDIN_FILENO);
        EXPECT_TRUE(fd >= 0 && saved_ >= 0 && ::dup2(fd, STDIN_FILENO) == STDIN_FILENO);
        ::close(fd);
    }
    ~StandardInputFrom() {
        ::dup2(saved_, STDIN_FILENO);
        ::close(saved_);
    }

private:
    TempDir dir_;
    int saved_ = -1;
};

// Standard input up to a limit (a small one here: the process tests run the real one). Past it only
// the start was read, which is not parsed even where it is a whole value.
TEST(StandardInput, IsReadUpToTheLimitAndACutOneIsNotParsed) {
    constexpr size_t kLimit = 64 * 1024;
    const std::string atLimit = "{\"tool_name\":\"" + std::string(kLimit - 16, 'x') + "\"}";
    const std::string atBound = "{\"tool_name\":\"Bash\",\"cwd\":" + std::string(json::kMaxNesting - 1, '[') + "0" +
                                std::string(json::kMaxNesting - 1, ']') + "}";
    struct Case {
        std::string input;
        bool cut;
        std::string cursorFields;
    };
    for (const Case& c : {Case{atLimit, false, R"({"note":"no_whitelisted_keys_in_stdin"})"},
                          Case{atLimit + "  ", true, R"({"parse":"empty_or_invalid_json"})"},
                          Case{atBound, false, R"({"cwd":")" + std::string(220, '[') + "\"}"}}) {
        StandardInputFrom input(c.input);
        const HookSupport::StandardInput read = HookSupport::readAndSummarizeStandardInput("Claude", kLimit);
        EXPECT_EQ(read.bytes, c.cut ? "" : c.input);
        EXPECT_EQ(read.summary["stdinBytes"], std::min(c.input.size(), kLimit));
        EXPECT_EQ(read.summary.value("stdinCut", false), c.cut);
        EXPECT_EQ(read.summary.contains("tool_name"), !c.cut);
        EXPECT_EQ(json::dumpCompact(HookSupport::cursorStdinDebugFields(read.bytes)), c.cursorFields);
    }
}

TEST(StringifyDebugValue, Bounds) {
    std::string letters = "[";
    for (char c = 'a'; c < 'a' + 15; ++c) letters += std::string(c == 'a' ? "" : ",") + "\"" + c + "\"";
    letters += "]";
    const std::tuple<std::string, int64_t, std::string> cases[] = {
        {R"("hello")", 3, "hel"},      {"\"\U0001F44D\U0001F3FDok\"", 1, "\U0001F44D\U0001F3FD"},
        {"123456", 2, "123456"},       {"-3.5", 220, "-3.5"},
        {"true", 220, "1"},            {letters, 220, "a, b, c, d, e, f, g, h, i, j, k, l"},
        {letters, 4, "a, b"},          {R"(["a",1])", 220, R"(["a",1])"},
        {R"({"k":"v"})", 4, R"({"k")"}, {R"("x")", -1, ""},
    };
    for (const auto& [text, maxLen, expected] : cases)
        EXPECT_EQ(HookSupport::stringifyDebugValue(*json::parse(text), maxLen), expected) << text;
}

// Three different explanations, each naming the assistant, the hook and the lever it saw.
TEST(PermissionStderr, ExplainsEveryOutcomeButLeverZero) {
    const auto message = [](bool hasReply, std::optional<int64_t> lever) {
        return HookSupport::permissionStderrMessage("Cursor", "beforeShellExecution", hasReply, lever);
    };
    EXPECT_EQ(message(true, 0), "");
    const std::string atTwo = message(true, 2), atMinusThree = message(true, -3), noLever = message(true, {}),
                      noReply = message(false, {});
    for (const std::string& m : {atTwo, atMinusThree, noLever, noReply}) {
        EXPECT_TRUE(m.starts_with("[vemlo-hook] Cursor beforeShellExecution: ")) << m;
        EXPECT_TRUE(m.ends_with("\n")) << m;
    }
    EXPECT_NE(atTwo.find("switchState=2"), std::string::npos);
    EXPECT_NE(atMinusThree.find("switchState=-3"), std::string::npos);
    EXPECT_NE(noLever, noReply);
    EXPECT_EQ(noLever.find("switchState="), std::string::npos);
    EXPECT_NE(noReply.find("5s"), std::string::npos) << "names the permission time-out";
}

TEST(AppendLine, AppendsExactlyWhatItIsGivenAndNothingElse) {
    TempDir dir;
    HookSupport::appendLine("{\"a\":1}\n", dir.file("log"));
    HookSupport::appendLine("b", dir.file("log"));
    EXPECT_EQ(files::readFile(dir.file("log")), "{\"a\":1}\nb");
    HookSupport::appendLine("x\n", dir.file("missing/log"));
    EXPECT_FALSE(files::exists(dir.file("missing")));
    HookSupport::appendLine("bad \xff\n", dir.file("new"));
    EXPECT_FALSE(files::exists(dir.file("new")));
}

TEST(DiagnosticTimestamp, LocalWallClockWithoutZone) {
    std::tm local{};
    local.tm_year = 2026 - 1900;
    local.tm_mon = 11;
    local.tm_mday = 4;
    local.tm_hour = 9;
    local.tm_min = 5;
    local.tm_sec = 3;
    local.tm_isdst = -1;
    EXPECT_EQ(HookSupport::diagnosticTimestampFormatter().string(std::mktime(&local)), "2026-12-04 09:05:03");
}

}  // namespace
}  // namespace vemlo
