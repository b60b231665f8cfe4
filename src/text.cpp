#include "text.hpp"

#include <cstdint>

namespace drovane {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

void append_utf8(std::string& out, char32_t code_point) {
    if (code_point < 0x80) {
        out += static_cast<char>(code_point);
    } else if (code_point < 0x800) {
        out += static_cast<char>(0xC0 | (code_point >> 6));
        out += static_cast<char>(0x80 | (code_point & 0x3F));
    } else if (code_point < 0x10000) {
        out += static_cast<char>(0xE0 | (code_point >> 12));
        out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code_point & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code_point >> 18));
        out += static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code_point & 0x3F));
    }
}

void append_utf16(std::wstring& out, char32_t code_point) {
    if (code_point < 0x10000) {
        out += static_cast<wchar_t>(code_point);
    } else {
        code_point -= 0x10000;
        out += static_cast<wchar_t>(0xD800 + (code_point >> 10));
        out += static_cast<wchar_t>(0xDC00 + (code_point & 0x3FF));
    }
}

// Decodes one UTF-16 code point at `index`, advancing it; nothing for an unpaired surrogate.
std::optional<char32_t> next_utf16(std::wstring_view text, std::size_t& index) {
    auto unit = static_cast<std::uint32_t>(text[index++]);
    if (unit > 0xFFFF) {
        return std::nullopt;
    }
    if (unit >= 0xD800 && unit <= 0xDBFF && index < text.size()) {
        auto low = static_cast<std::uint32_t>(text[index]);
        if (low >= 0xDC00 && low <= 0xDFFF) {
            ++index;
            return 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        }
    }
    if (unit >= 0xD800 && unit <= 0xDFFF) {
        return std::nullopt;
    }
    return unit;
}

// Decodes one UTF-8 code point at `index`, advancing past it; nothing for an invalid sequence,
// after advancing past its maximal invalid prefix (so each one becomes a single U+FFFD).
std::optional<char32_t> next_utf8(std::string_view text, std::size_t& index) {
    auto byte = static_cast<unsigned char>(text[index++]);
    if (byte < 0x80) {
        return byte;
    }
    std::size_t length = 0;
    char32_t code_point = 0;
    // The range of the second byte excludes overlong forms, surrogates and values past U+10FFFF.
    unsigned char low = 0x80, high = 0xBF;
    if (byte >= 0xC2 && byte <= 0xDF) {
        length = 1, code_point = byte & 0x1F;
    } else if (byte >= 0xE0 && byte <= 0xEF) {
        length = 2, code_point = byte & 0x0F;
        low = byte == 0xE0 ? 0xA0 : 0x80;
        high = byte == 0xED ? 0x9F : 0xBF;
    } else if (byte >= 0xF0 && byte <= 0xF4) {
        length = 3, code_point = byte & 0x07;
        low = byte == 0xF0 ? 0x90 : 0x80;
        high = byte == 0xF4 ? 0x8F : 0xBF;
    } else {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < length; ++i) {
        if (index >= text.size()) {
            return std::nullopt;
        }
        auto next = static_cast<unsigned char>(text[index]);
        if (next < low || next > high) {
            return std::nullopt;
        }
        low = 0x80, high = 0xBF;
        code_point = (code_point << 6) | (next & 0x3F);
        ++index;
    }
    return code_point;
}

}  // namespace

std::string to_utf8(std::wstring_view utf16) {
    std::string out;
    out.reserve(utf16.size());
    for (std::size_t index = 0; index < utf16.size();) {
        append_utf8(out, next_utf16(utf16, index).value_or(kReplacement));
    }
    return out;
}

std::optional<std::string> to_utf8_strict(std::wstring_view utf16) {
    std::string out;
    out.reserve(utf16.size());
    for (std::size_t index = 0; index < utf16.size();) {
        auto code_point = next_utf16(utf16, index);
        if (!code_point) {
            return std::nullopt;
        }
        append_utf8(out, *code_point);
    }
    return out;
}

std::wstring to_utf16(std::string_view utf8) {
    std::wstring out;
    out.reserve(utf8.size());
    for (std::size_t index = 0; index < utf8.size();) {
        append_utf16(out, next_utf8(utf8, index).value_or(kReplacement));
    }
    return out;
}

bool is_valid_utf8(std::string_view bytes) {
    for (std::size_t index = 0; index < bytes.size();) {
        if (!next_utf8(bytes, index)) {
            return false;
        }
    }
    return true;
}

std::string sanitize_utf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t index = 0; index < bytes.size();) {
        append_utf8(out, next_utf8(bytes, index).value_or(kReplacement));
    }
    return out;
}

}  // namespace drovane
