#include "command_line.hpp"

#include "text.hpp"

namespace drovane {

std::optional<std::uint32_t> parse_process_id(std::wstring_view text) {
    if (text == L"+" || text == L"-") {
        return std::nullopt;
    }
    if (!text.empty() && text.front() == L'+') {
        text.remove_prefix(1);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<std::uint64_t>(c - L'0');
        if (value > 0xFFFFFFFFull) {
            return std::nullopt;
        }
    }
    if (value == 0) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

Result<Command> classify_command_line(const std::vector<std::wstring>& arguments,
                                      SidCheck is_valid_sid) {
    if (arguments.empty()) {
        return Error("the helper service was registered without an owner; reinstall it");
    }
    if (arguments.size() == 2 && arguments[0] == L"--owner-sid") {
        std::optional<std::string> sid = to_utf8_strict(arguments[1]);
        if (!sid || !is_valid_sid(*sid)) {
            return Error("--owner-sid is not a SID");
        }
        Command command;
        command.kind = Command::Kind::service;
        command.owner_sid = std::move(*sid);
        return command;
    }
    if (arguments.size() == 1 && arguments[0] == L"uninstall") {
        Command command;
        command.kind = Command::Kind::uninstall;
        return command;
    }
    if (arguments.size() == 3 && arguments[0] == L"install" && arguments[1] == L"--owner-pid") {
        std::optional<std::uint32_t> pid = parse_process_id(arguments[2]);
        if (!pid) {
            return Error("--owner-pid is not a process ID");
        }
        Command command;
        command.kind = Command::Kind::install;
        command.owner_pid = *pid;
        return command;
    }
    if (arguments[0] == L"install") {
        return Error("install takes exactly --owner-pid <pid>");
    }
    return Error("unknown helper command: " + to_utf8(arguments[0]));
}

}  // namespace drovane
