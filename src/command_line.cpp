#include "command_line.hpp"

#include "text.hpp"

namespace drovane {

namespace {

bool is_blank(wchar_t c) {
    return c == L' ' || c == L'\t';
}

}  // namespace

SplitCommandLine split_command_line(std::wstring_view line) {
    SplitCommandLine result;
    std::size_t i = 0;
    const std::size_t n = line.size();

    // The program name: quotes toggle and are dropped; backslashes are ordinary characters.
    bool quoted = false;
    for (; i < n; ++i) {
        wchar_t c = line[i];
        if (c == L'"') {
            quoted = !quoted;
        } else if (is_blank(c) && !quoted) {
            break;
        } else {
            result.program += c;
        }
    }

    while (true) {
        while (i < n && is_blank(line[i])) {
            ++i;
        }
        if (i == n) {
            break;
        }
        std::wstring argument;
        quoted = false;
        while (i < n) {
            wchar_t c = line[i];
            if (is_blank(c) && !quoted) {
                break;
            }
            if (c == L'\\') {
                std::size_t run = 0;
                while (i < n && line[i] == L'\\') {
                    ++run;
                    ++i;
                }
                if (i < n && line[i] == L'"') {
                    // 2n backslashes: n of them, and the quote acts as a quote. 2n+1: n of them
                    // and a literal quote.
                    argument.append(run / 2, L'\\');
                    if (run % 2 == 1) {
                        argument += L'"';
                        ++i;
                    }
                } else {
                    argument.append(run, L'\\');
                }
                continue;
            }
            if (c == L'"') {
                if (quoted && i + 1 < n && line[i + 1] == L'"') {
                    argument += L'"';  // "" inside quotes: a literal quote, still quoted
                    i += 2;
                } else {
                    quoted = !quoted;
                    ++i;
                }
                continue;
            }
            argument += c;
            ++i;
        }
        result.arguments.push_back(std::move(argument));
    }
    return result;
}

std::wstring escape_command_line_part(std::wstring_view text) {
    if (!text.empty() && text.find_first_of(L"\" \t\n\v") == std::wstring_view::npos) {
        return std::wstring(text);
    }
    std::wstring out = L"\"";
    std::size_t i = 0;
    while (true) {
        std::size_t run = 0;
        while (i < text.size() && text[i] == L'\\') {
            ++run;
            ++i;
        }
        if (i == text.size()) {
            // Before the closing quote every backslash is doubled.
            out.append(2 * run, L'\\');
            break;
        }
        if (text[i] == L'"') {
            out.append(2 * run + 1, L'\\');
        } else {
            out.append(run, L'\\');
        }
        out += text[i];
        ++i;
    }
    out += L'"';
    return out;
}

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
