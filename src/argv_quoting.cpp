#include "argv_quoting.hpp"

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

}  // namespace drovane
