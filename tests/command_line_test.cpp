#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "command_line.hpp"
#include "owner_sid.hpp"
#include "text.hpp"

namespace drovane {
namespace {

using Args = std::vector<std::wstring>;

TEST(SplitCommandLine, ArgumentsFollowTheRuntimeRules) {
    struct Case {
        std::wstring line;
        Args expected;
    };
    const Case cases[] = {
        {L"prog", {}},
        {L"", {}},
        {L"prog   \t ", {}},
        {L"prog a\t\tb  c ", {L"a", L"b", L"c"}},
        {L"prog \"a b c\" d e", {L"a b c", L"d", L"e"}},
        {L"prog \"ab\\\"c\" \"\\\\\" d", {L"ab\"c", L"\\", L"d"}},
        {L"prog a\\\\\\b d\"e f\"g h", {L"a\\\\\\b", L"de fg", L"h"}},
        {L"prog a\\\\\\\"b c d", {L"a\\\"b", L"c", L"d"}},
        {L"prog a\\\\\\\\\"b c\" d e", {L"a\\\\b c", L"d", L"e"}},
        // Two quotes inside quotes are one literal quote and quoting goes on.
        {L"prog a\"b\"\" c d", {L"ab\" c d"}},
        {L"prog \"a\"\"b\" c", {L"a\"b", L"c"}},
        // Empty arguments from a pair of quotes.
        {L"prog \"\"", {L""}},
        {L"prog \"\" \"\" x", {L"", L"", L"x"}},
        {L"prog a\\", {L"a\\"}},
        {L"prog \"a b", {L"a b"}},
        {L"prog \\\\\\\"", {L"\\\""}},
        // Line feeds and vertical tabs do not separate arguments.
        {L"prog a\nb\vc", {L"a\nb\vc"}},
        // Units are kept as they came, unpaired surrogates included.
        {std::wstring(L"prog x") + wchar_t(0xD800), {std::wstring(L"x") + wchar_t(0xD800)}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(split_command_line(c.line).arguments, c.expected) << to_utf8(c.line);
    }
}

TEST(SplitCommandLine, ProgramNameTogglesQuotesAndKeepsBackslashes) {
    struct Case {
        std::wstring line;
        std::wstring program;
        Args arguments;
    };
    const Case cases[] = {
        {L"\"C:\\dir with space\\DrovaneHelper.exe\" --owner-sid S-1-5-18",
         L"C:\\dir with space\\DrovaneHelper.exe",
         {L"--owner-sid", L"S-1-5-18"}},
        {L"C:\\bare\\DrovaneHelper.exe uninstall", L"C:\\bare\\DrovaneHelper.exe", {L"uninstall"}},
        {L"\"C:\\x\\\" a", L"C:\\x\\", {L"a"}},
        {L"a\"b c\"d e", L"ab cd", {L"e"}},
        {L"\tprog", L"", {L"prog"}},
    };
    for (const Case& c : cases) {
        SplitCommandLine split = split_command_line(c.line);
        EXPECT_EQ(split.program, c.program) << to_utf8(c.line);
        EXPECT_EQ(split.arguments, c.arguments) << to_utf8(c.line);
    }
}

TEST(EscapeCommandLinePart, QuotesOnlyWhatSplittingWouldBreak) {
    struct Case {
        std::wstring text;
        std::wstring expected;
    };
    const Case cases[] = {
        {L"C:\\bare\\DrovaneHelper.exe", L"C:\\bare\\DrovaneHelper.exe"},
        {L"C:\\dir with space\\DrovaneHelper.exe", L"\"C:\\dir with space\\DrovaneHelper.exe\""},
        {L"--owner-sid", L"--owner-sid"},
        {L"S-1-5-21-0-0-0-1000", L"S-1-5-21-0-0-0-1000"},
        {L"", L"\"\""},
        {L"a\\b", L"a\\b"},
        {L"a\"b", L"\"a\\\"b\""},
        {L"a b\\", L"\"a b\\\\\""},
        {L"a\\\\\"b", L"\"a\\\\\\\\\\\"b\""},
        {L"tab\there", L"\"tab\there\""},
        {L"v\vt", L"\"v\vt\""},
        {L"n\nl", L"\"n\nl\""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(escape_command_line_part(c.text), c.expected) << to_utf8(c.text);
    }
}

TEST(EscapeCommandLinePart, SplittingGivesEveryPartBack) {
    const Args parts = {
        L"",
        L"plain",
        L"a b",
        L"\"",
        L"\"\"",
        L"a\"b",
        L"a\\\"b",
        L"\\\"",
        L"trailing\\",
        L"with space\\",
        L"\\\\server\\share dir\\\\",
        L"a\\\\\\\"b c",
        L"\t",
        L" lead and trail ",
        L"line\nfeed",
        L"vertical\vtab",
        L"C:\\dir with space\\DrovaneHelper.exe",
        L"Z:\\work\\build\\bin\\DrovaneHelper.exe",
        std::wstring(L"odd ") + wchar_t(0xDC00),
    };
    std::wstring line = L"prog";
    for (const std::wstring& part : parts) {
        line += L' ';
        line += escape_command_line_part(part);
    }
    EXPECT_EQ(split_command_line(line).arguments, parts);

    // As the program name of a binary path (where backslashes are plain), an executable path
    // comes back too.
    for (const std::wstring& path :
         {std::wstring(L"C:\\dir with space\\DrovaneHelper.exe"),
          std::wstring(L"Z:\\w\\bin\\DrovaneHelper.exe"), std::wstring(L"C:\\a  b\\\tc.exe")}) {
        std::wstring binary_path = escape_command_line_part(path) + L" --owner-sid S-1-5-18";
        SplitCommandLine split = split_command_line(binary_path);
        EXPECT_EQ(split.program, path) << to_utf8(path);
        EXPECT_EQ(split.arguments, (Args{L"--owner-sid", L"S-1-5-18"}));
    }
}

TEST(ParseProcessId, Table) {
    struct Case {
        std::wstring text;
        std::optional<std::uint32_t> expected;
    };
    const Case cases[] = {
        {L"42", 42u},
        {L"+42", 42u},
        {L"0042", 42u},
        {L"1", 1u},
        {L"4294967295", 4294967295u},
        {L"+", std::nullopt},
        {L"-", std::nullopt},
        {L"", std::nullopt},
        {L"0", std::nullopt},
        {L"+0", std::nullopt},
        {L"000", std::nullopt},
        {L"-1", std::nullopt},
        {L"++1", std::nullopt},
        {L"+-1", std::nullopt},
        {L"4294967296", std::nullopt},
        {L"99999999999999999999999", std::nullopt},
        {L"4x", std::nullopt},
        {L" 1", std::nullopt},
        {L"1 ", std::nullopt},
        {L"0x10", std::nullopt},
        {L"\x0663", std::nullopt},  // ARABIC-INDIC DIGIT THREE is not an ASCII digit
        {L"\xFF11", std::nullopt},  // FULLWIDTH DIGIT ONE
    };
    for (const Case& c : cases) {
        EXPECT_EQ(parse_process_id(c.text), c.expected) << to_utf8(c.text);
    }
}

TEST(ClassifyCommandLine, ChoosesTheModeInOrder) {
    struct Case {
        Args arguments;
        Command::Kind kind;
        std::string owner_sid;
        std::uint32_t owner_pid;
    };
    const Case cases[] = {
        {{L"--owner-sid", L"S-1-5-18"}, Command::Kind::service, "S-1-5-18", 0},
        {{L"--owner-sid", L"S-1-5-21-1-2-3-1001"},
         Command::Kind::service,
         "S-1-5-21-1-2-3-1001",
         0},
        {{L"uninstall"}, Command::Kind::uninstall, "", 0},
        {{L"install", L"--owner-pid", L"42"}, Command::Kind::install, "", 42},
        {{L"install", L"--owner-pid", L"+42"}, Command::Kind::install, "", 42},
    };
    for (const Case& c : cases) {
        Result<Command> command = classify_command_line(c.arguments, peer::is_valid_sid_string);
        ASSERT_TRUE(command.ok()) << command.error().text();
        EXPECT_EQ(command->kind, c.kind);
        EXPECT_EQ(command->owner_sid, c.owner_sid);
        EXPECT_EQ(command->owner_pid, c.owner_pid);
    }
}

TEST(ClassifyCommandLine, RefusalsHaveTheirExactMessages) {
    const std::wstring surrogate(1, wchar_t(0xD83D));
    struct Case {
        Args arguments;
        std::string message;
    };
    const Case cases[] = {
        {{}, "the helper service was registered without an owner; reinstall it"},
        {{L"--owner-sid", L"s-1-5-18"}, "--owner-sid is not a SID"},
        {{L"--owner-sid", L"S-1-5-18 "}, "--owner-sid is not a SID"},
        {{L"--owner-sid", L""}, "--owner-sid is not a SID"},
        {{L"--owner-sid", L"S-1-5-" + surrogate}, "--owner-sid is not a SID"},
        {{L"--owner-sid"}, "unknown helper command: --owner-sid"},
        {{L"--owner-sid", L"S-1-5-18", L"x"}, "unknown helper command: --owner-sid"},
        {{L"uninstall", L"now"}, "unknown helper command: uninstall"},
        {{L"Uninstall"}, "unknown helper command: Uninstall"},
        {{L"install", L"--owner-pid", L"0"}, "--owner-pid is not a process ID"},
        {{L"install", L"--owner-pid", L"-1"}, "--owner-pid is not a process ID"},
        {{L"install", L"--owner-pid", L"4294967296"}, "--owner-pid is not a process ID"},
        {{L"install", L"--owner-pid", L"4x"}, "--owner-pid is not a process ID"},
        {{L"install", L"--owner-pid", L"4" + surrogate}, "--owner-pid is not a process ID"},
        {{L"install"}, "install takes exactly --owner-pid <pid>"},
        {{L"install", L"--owner-pid"}, "install takes exactly --owner-pid <pid>"},
        {{L"install", L"--owner-sid", L"S-1-5-18"}, "install takes exactly --owner-pid <pid>"},
        {{L"install", L"--owner-pid", L"1", L"2"}, "install takes exactly --owner-pid <pid>"},
        {{L"install", L"--OWNER-PID", L"1"}, "install takes exactly --owner-pid <pid>"},
        {{L"INSTALL", L"--owner-pid", L"42"}, "unknown helper command: INSTALL"},
        {{L""}, "unknown helper command: "},
        {{L"b\x00E4r" + surrogate + L"x"}, "unknown helper command: b\xC3\xA4r\xEF\xBF\xBDx"},
    };
    for (const Case& c : cases) {
        Result<Command> command = classify_command_line(c.arguments, peer::is_valid_sid_string);
        ASSERT_FALSE(command.ok()) << c.message;
        EXPECT_EQ(command.error().chain(), std::vector<std::string>{c.message});
    }
}

TEST(ClassifyCommandLine, WorksOnTheSplitFullLine) {
    // A quoted value reaches the check without its quotes; a quoted command word is still the word.
    Result<Command> install = classify_command_line(
        split_command_line(L"\"C:\\a b\\DrovaneHelper.exe\" \"install\" --owner-pid \"7\"")
            .arguments,
        peer::is_valid_sid_string);
    ASSERT_TRUE(install.ok()) << install.error().text();
    EXPECT_EQ(install->owner_pid, 7u);

    Result<Command> none = classify_command_line(
        split_command_line(L"DrovaneHelper.exe  ").arguments, peer::is_valid_sid_string);
    ASSERT_FALSE(none.ok());
    EXPECT_EQ(none.error().message(),
              "the helper service was registered without an owner; reinstall it");
}

}  // namespace
}  // namespace drovane
