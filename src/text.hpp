// Text conversion between the Helper's UTF-8 and the UTF-16 of Windows' wide-character calls.
//
// Wide strings hold UTF-16 code units; on Windows wchar_t is 16 bits, elsewhere (native tests)
// each wchar_t element simply carries one 16-bit unit.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace drovane {

// UTF-16 to UTF-8; each unpaired surrogate (or a unit above 0xFFFF) becomes U+FFFD.
std::string to_utf8(std::wstring_view utf16);

// UTF-16 to UTF-8, or nothing when the text holds an unpaired surrogate.
std::optional<std::string> to_utf8_strict(std::wstring_view utf16);

// UTF-8 to UTF-16; invalid UTF-8 sequences become U+FFFD. The result's c_str() is the
// NUL-terminated form that the wide-character calls take.
std::wstring to_utf16(std::string_view utf8);

// Whether the bytes are well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool is_valid_utf8(std::string_view bytes);

// Decodes UTF-8 with each invalid sequence replaced by U+FFFD.
std::string sanitize_utf8(std::string_view bytes);

}  // namespace drovane
