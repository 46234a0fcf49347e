#include "hook/HookSupport.h"
#include "platform/Files.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <limits>

namespace vemlo {
namespace {

using test::TempDir;

std::string repeat(std::string_view piece, size_t times) {
    std::string out;
    for (size_t i = 0; i < times; ++i) out += piece;
    return out;
}

// ---- intValue ----

struct IntCase {
    const char* name;
    std::optional<std::string> json;  // absent = a missing member
    std::optional<int64_t> expected;
};
void PrintTo(const IntCase& c, std::ostream* os) { *os << c.name; }

class IntValue : public testing::TestWithParam<IntCase> {};

TEST_P(IntValue, Reads) {
    const auto& c = GetParam();
    std::optional<Json> value = c.json ? json::parse(*c.json) : std::nullopt;
    ASSERT_EQ(c.json.has_value(), value.has_value()) << "bad fixture";
    EXPECT_EQ(HookSupport::intValue(value ? &*value : nullptr), c.expected);
}

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();

INSTANTIATE_TEST_SUITE_P(
    Table, IntValue,
    testing::Values(
        IntCase{"Missing", std::nullopt, std::nullopt}, IntCase{"Integer", "7", 7}, IntCase{"Negative", "-7", -7},
        IntCase{"FloatTruncates", "2.9", 2}, IntCase{"NegativeFloatTowardZero", "-2.9", -2}, IntCase{"True", "true", 1},
        IntCase{"False", "false", 0}, IntCase{"Null", "null", std::nullopt}, IntCase{"PlusSign", R"("+7")", 7},
        IntCase{"MinusSign", R"("-7")", -7}, IntCase{"LeadingZeros", R"("007")", 7},
        IntCase{"LeadingBlank", R"(" 7")", std::nullopt}, IntCase{"TrailingBlank", R"("7 ")", std::nullopt},
        IntCase{"Empty", R"("")", std::nullopt}, IntCase{"SignOnly", R"("-")", std::nullopt},
        IntCase{"TwoSigns", R"("+-7")", std::nullopt}, IntCase{"Hex", R"("0x10")", std::nullopt},
        IntCase{"DecimalText", R"("1.5")", std::nullopt}, IntCase{"ArabicIndicDigit", R"("\u0663")", std::nullopt},
        IntCase{"TextMax", R"("9223372036854775807")", kMax}, IntCase{"TextMin", R"("-9223372036854775808")", kMin},
        IntCase{"TextOverflow", R"("9223372036854775808")", std::nullopt},
        IntCase{"HugeUnsignedSaturates", "18446744073709551615", kMax}, IntCase{"HugeFloatSaturates", "-1e300", kMin},
        IntCase{"Array", "[0]", std::nullopt}, IntCase{"Object", R"({"v":0})", std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- parseStdinContext ----

struct ContextCase {
    const char* name;
    std::string input;
    std::string expected;  // compact JSON of the whole context
};
void PrintTo(const ContextCase& c, std::ostream* os) { *os << c.name; }

class StdinContext : public testing::TestWithParam<ContextCase> {};

TEST_P(StdinContext, Summarises) {
    const auto& c = GetParam();
    EXPECT_EQ(json::dumpCompact(HookSupport::parseStdinContext(c.input, "Claude")), c.expected);
}

std::string commandInput(const std::string& command) { return json::dumpCompact(Json{{"command", command}}); }

std::string commandContext(const std::string& command, const std::string& preview) {
    return json::dumpCompact(
        Json{{"stdinBytes", commandInput(command).size()}, {"parser", "Claude"}, {"commandPreview", preview}});
}

// A command whose 120th character is `atCut`, followed by more text.
ContextCase cutCase(const char* name, const std::string& atCut) {
    const std::string before = repeat("a", 119);
    const std::string command = before + atCut + "tail";
    return {name, commandInput(command), commandContext(command, before + atCut)};
}

ContextCase longValuesCase() {
    const std::string input = json::dumpCompact(Json{{"command", repeat("c", 200)},
                                                     {"session_id", "0123456789abcdef0123456789abcdef0123"},
                                                     {"cwd", repeat("\u4e2d", 130)}});
    return {"LongValuesCut", input,
            json::dumpCompact(Json{{"stdinBytes", input.size()},
                                   {"parser", "Claude"},
                                   {"commandPreview", repeat("c", 120)},
                                   {"session_id_short", "0123456789abcdef"},
                                   {"cwdPreview", repeat("\u4e2d", 120)}})};
}

const std::string kFamily = "\U0001F468\u200D\U0001F469\u200D\U0001F467";  // three people joined by ZWJ

INSTANTIATE_TEST_SUITE_P(
    Table, StdinContext,
    testing::Values(
        ContextCase{"Empty", "", R"({"stdinBytes":0,"parser":"Claude"})"},
        ContextCase{"Array", "[1,2]", R"({"stdinBytes":5,"parser":"Claude"})"},
        ContextCase{"NotJson", "{oops", R"({"stdinBytes":5,"parser":"Claude"})"},
        ContextCase{
            "AllMembersInOrder",
            R"({"cwd":"/w","session_id":"s","hook_event_name":"E","name":"n","command":"ls","tool_name":"T","x":{"tool_name":"no"}})",
            R"({"stdinBytes":116,"parser":"Claude","tool_name":"T","commandPreview":"ls","hook_event_name":"E","session_id_short":"s","cwdPreview":"/w"})"},
        ContextCase{"NameWhenToolNameIsNotText", R"({"tool_name":3,"name":"n","cwd":null})",
                    R"({"stdinBytes":37,"parser":"Claude","name":"n"})"},
        longValuesCase(), cutCase("ZwjSequenceStaysWhole", kFamily), cutCase("DecomposedAccentStaysWhole", "e\u0301"),
        cutCase("SkinToneStaysWhole", "\U0001F44D\U0001F3FD"), cutCase("FlagStaysWhole", "\U0001F1EF\U0001F1F5"),
        cutCase("HangulJamoStayWhole", "\u1100\u1161\u11A8"), cutCase("CrLfStaysWhole", "\r\n"),
        // The mark after the 120th ASCII letter belongs to it.
        ContextCase{"MarkAfterAsciiCut", commandInput(repeat("a", 120) + "\u0301b"),
                    commandContext(repeat("a", 120) + "\u0301b", repeat("a", 120) + "\u0301")}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- stringifyDebugValue ----

struct StringifyCase {
    const char* name;
    std::string json;
    int64_t maxLen;
    std::string expected;
};
void PrintTo(const StringifyCase& c, std::ostream* os) { *os << c.name; }

class StringifyDebugValue : public testing::TestWithParam<StringifyCase> {};

TEST_P(StringifyDebugValue, Bounds) {
    const auto& c = GetParam();
    auto value = json::parse(c.json);
    ASSERT_TRUE(value) << "bad fixture";
    EXPECT_EQ(HookSupport::stringifyDebugValue(*value, c.maxLen), c.expected);
}

std::string letters(int count) {
    std::string out = "[";
    for (int i = 0; i < count; ++i) out += std::string(i ? "," : "") + "\"" + char('a' + i) + "\"";
    return out + "]";
}

INSTANTIATE_TEST_SUITE_P(
    Table, StringifyDebugValue,
    testing::Values(StringifyCase{"StringCut", R"("hello")", 3, "hel"},
                    StringifyCase{"StringCutByCharacters", "\"\U0001F44D\U0001F3FDok\"", 1, "\U0001F44D\U0001F3FD"},
                    StringifyCase{"IntegerNeverCut", "123456", 2, "123456"},
                    StringifyCase{"Float", "-3.5", 220, "-3.5"}, StringifyCase{"BooleanAsNumber", "true", 220, "1"},
                    StringifyCase{"FirstTwelveStrings", letters(15), 220, "a, b, c, d, e, f, g, h, i, j, k, l"},
                    StringifyCase{"JoinedThenCut", letters(3), 4, "a, b"}, StringifyCase{"EmptyArray", "[]", 220, ""},
                    StringifyCase{"MixedArrayAsJson", R"(["a",1])", 220, R"(["a",1])"},
                    StringifyCase{"ObjectAsJsonCut", R"({"k":"v"})", 4, R"({"k")"},
                    StringifyCase{"Null", "null", 220, "null"},
                    StringifyCase{"NegativeLengthIsEmpty", R"("x")", -1, ""}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- emitPermissionStderr ----

struct StderrCase {
    const char* name;
    bool hasReply;
    std::optional<int64_t> switchState;
    std::string expected;
};
void PrintTo(const StderrCase& c, std::ostream* os) { *os << c.name; }

class PermissionStderr : public testing::TestWithParam<StderrCase> {};

TEST_P(PermissionStderr, Explains) {
    const auto& c = GetParam();
    EXPECT_EQ(HookSupport::permissionStderrMessage("Cursor", "beforeShellExecution", c.hasReply, c.switchState),
              c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PermissionStderr,
    testing::Values(
        StderrCase{"LeverZeroIsSilent", true, 0, ""},
        StderrCase{"LeverTwo", true, 2,
                   "[vemlo-hook] Cursor beforeShellExecution: 拨杆 switchState=2（非 0），不自动批准。\n"},
        StderrCase{"NegativeLever", true, -3,
                   "[vemlo-hook] Cursor beforeShellExecution: 拨杆 switchState=-3（非 0），不自动批准。\n"},
        StderrCase{"ReplyWithoutLever", true, std::nullopt,
                   "[vemlo-hook] Cursor beforeShellExecution: 回包无有效 switchState（需 BLE 已连且能读到拨杆 "
                   "0=自动批准），将按交回用户/终端处理。\n"},
        StderrCase{"NoReply", false, std::nullopt,
                   "[vemlo-hook] Cursor beforeShellExecution: agent 无回包或 Unix socket 失败（/tmp/vemlo.sock "
                   "连不上/超时，超时 5s）。请确认 LaunchAgent 里 vemloconfig-agent 在跑、且蓝牙已选「由 Agent "
                   "占用」并连上键盘。\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- appendLine and the timestamp ----

TEST(AppendLine, CreatesMissingFileWithExactlyTheLine) {
    TempDir dir;
    HookSupport::appendLine("{\"a\":1}\n", dir.file("log"));
    EXPECT_EQ(files::readFile(dir.file("log")), "{\"a\":1}\n");
}

TEST(AppendLine, KeepsEarlierContent) {
    TempDir dir;
    ASSERT_TRUE(files::atomicWrite(dir.file("log"), "first\n"));
    HookSupport::appendLine("second\n", dir.file("log"));
    HookSupport::appendLine("third", dir.file("log"));
    EXPECT_EQ(files::readFile(dir.file("log")), "first\nsecond\nthird");
}

TEST(AppendLine, CreatesNoDirectoryAndSkipsInvalidText) {
    TempDir dir;
    HookSupport::appendLine("x\n", dir.file("missing/log"));
    EXPECT_FALSE(files::exists(dir.file("missing")));
    HookSupport::appendLine("bad \xff\n", dir.file("log"));
    EXPECT_FALSE(files::exists(dir.file("log")));
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
