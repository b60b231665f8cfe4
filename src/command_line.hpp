// The command line of DrovaneHelper.exe: splitting by the Windows C runtime rules, the choice of
// mode, the process-ID value of `install --owner-pid`, and the quoting of a part of a service's
// binary path (the inverse of the splitting).
//
// Wide strings hold UTF-16 code units; on Windows wchar_t is 16 bits, elsewhere each wchar_t
// element carries one 16-bit unit.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"

namespace drovane {

// The full command line split into the program name and the arguments after it.
struct SplitCommandLine {
    std::wstring program;
    std::vector<std::wstring> arguments;
};

// Splits a process's full command line. The program name ends at the first space or tab outside
// double quotes (quotes toggle and are dropped, backslashes are plain); the arguments follow the
// C runtime's backslash and quote rules. An empty command line has no arguments.
SplitCommandLine split_command_line(std::wstring_view command_line);

// Quotes one part of a command line so that splitting gives it back as one argument: a text that
// is empty or holds a double quote, space, tab, line feed or vertical tab is enclosed in double
// quotes, doubling the backslashes that precede a quote or the closing quote; any other text is
// returned unchanged.
std::wstring escape_command_line_part(std::wstring_view text);

// The value after `--owner-pid`: one optional leading "+", then decimal ASCII digits forming an
// unsigned 32-bit number other than 0.
std::optional<std::uint32_t> parse_process_id(std::wstring_view text);

// What the command line asks for, with its checked value.
struct Command {
    enum class Kind { service, install, uninstall };
    Kind kind = Kind::service;
    std::string owner_sid;        // service mode
    std::uint32_t owner_pid = 0;  // install
};

// Checks an owner SID string (the owner identity's rule, given by the caller).
using SidCheck = bool (*)(std::string_view);

// Classifies the arguments after the program name, checking in this order: none; `--owner-sid`
// SID; `uninstall`; `install --owner-pid` PID; `install` with anything else; anything else.
// Comparisons are exact and case-sensitive. The SID and PID values are checked here, so a
// returned command is ready to run.
Result<Command> classify_command_line(const std::vector<std::wstring>& arguments,
                                      SidCheck is_valid_sid);

}  // namespace drovane
