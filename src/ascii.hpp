// Small ASCII helpers for header names, tokens and host names: letter case is folded for
// ASCII only, never by locale.
#pragma once

#include <string>
#include <string_view>

namespace drovane {

constexpr char ascii_lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

// A copy with each ASCII letter in lower case.
inline std::string ascii_lowered(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        c = ascii_lower(c);
    }
    return out;
}

constexpr bool ascii_iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (ascii_lower(a[i]) != ascii_lower(b[i])) {
            return false;
        }
    }
    return true;
}

// Strips spaces and horizontal tabs from both ends.
constexpr std::string_view trim_ows(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

}  // namespace drovane
