// The command words of DrovaneHelper.exe: the choice of mode and the process-ID value of
// `install --owner-pid`, over arguments split by argv_quoting.hpp.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "argv_quoting.hpp"
#include "error.hpp"

namespace drovane {

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
