#include "hook/HookSupport.h"
#include "platform/Files.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>
#include <ctime>
#include <tuple>
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

// Standard input up to a limit (a small one here: the process tests run the real one). Past it only
// the start was read, which is not parsed even where it is a whole value.
TEST(StandardInput, IsReadUpToTheLimitAndACutOneIsNotParsed) {
    constexpr size_t kLimit = 64 * 1024;
    const std::string atLimit = "{\"tool_name\":\"" + std::string(kLimit - 16, 'x') + "\"}";
    for (const std::string& input : {atLimit, atLimit + " "}) {
        TempDir dir;
        ASSERT_TRUE(files::atomicWrite(dir.file("stdin"), input));
        const int saved = ::dup(STDIN_FILENO), fd = ::open(dir.file("stdin").c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_EQ(::dup2(fd, STDIN_FILENO), STDIN_FILENO);
        const HookSupport::StandardInput read = HookSupport::readAndSummarizeStandardInput("Claude", kLimit);
        ::dup2(saved, STDIN_FILENO);
        ::close(saved);
        ::close(fd);
        const bool cut = input.size() > kLimit;
        EXPECT_EQ(read.bytes, cut ? "" : input);
        EXPECT_EQ(read.summary["stdinBytes"], kLimit);
        EXPECT_EQ(read.summary.value("stdinCut", false), cut);
        EXPECT_EQ(read.summary.contains("tool_name"), !cut);
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
    for (const std::string& m : {message(true, -3), message(true, {}), message(false, {})})
        EXPECT_TRUE(m.starts_with("[vemlo-hook] Cursor beforeShellExecution: ") && m.ends_with("\n")) << m;
    EXPECT_NE(message(true, -3).find("switchState=-3"), std::string::npos);
    EXPECT_EQ(message(true, {}).find("switchState="), std::string::npos);
    EXPECT_NE(message(true, {}), message(false, {}));
    EXPECT_NE(message(false, {}).find("5s"), std::string::npos) << "names the permission time-out";
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
    std::tie(local.tm_year, local.tm_mon, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec) =
        std::tuple(126, 11, 4, 9, 5, 3);
    local.tm_isdst = -1;
    EXPECT_EQ(HookSupport::diagnosticTimestampFormatter().string(std::mktime(&local)), "2026-12-04 09:05:03");
}

}  // namespace
}  // namespace vemlo
