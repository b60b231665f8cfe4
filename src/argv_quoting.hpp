// Splitting a command line by the Windows C runtime rules, and quoting one part of it (the
// inverse of the splitting), for the entry's own command line and a service's binary path.
//
// Wide strings hold UTF-16 code units; on Windows wchar_t is 16 bits, elsewhere each wchar_t
// element carries one 16-bit unit.
#pragma once

#include <string>
#include <string_view>
#include <vector>

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

}  // namespace drovane
