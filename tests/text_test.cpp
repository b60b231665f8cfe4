#include <gtest/gtest.h>

#include "text.hpp"

namespace drovane {
namespace {

TEST(Text, Utf16ToUtf8ReplacesUnpairedSurrogates) {
    struct Case {
        std::wstring utf16;
        std::string utf8;
        bool strict_ok;
    };
    // Literals split to end a hex escape stay on their rows.
    // clang-format off
    const Case cases[] = {
        {L"", "", true},
        {L"C:\\Program Files\\x.exe", "C:\\Program Files\\x.exe", true},
        {std::wstring{0x00E9, 0x4E2D}, "\xC3\xA9\xE4\xB8\xAD", true},
        {std::wstring{0xD83D, 0xDE00}, "\xF0\x9F\x98\x80", true},            // a pair
        {std::wstring{L'a', 0xD800, L'b'}, "a\xEF\xBF\xBD" "b", false},     // lone high
        {std::wstring{0xDC00, 0xD800}, "\xEF\xBF\xBD\xEF\xBF\xBD", false},  // reversed pair
        {std::wstring{0xD800}, "\xEF\xBF\xBD", false},                      // high at the end
    };
    // clang-format on
    for (const Case& c : cases) {
        EXPECT_EQ(to_utf8(c.utf16), c.utf8);
        EXPECT_EQ(to_utf8_strict(c.utf16).has_value(), c.strict_ok);
    }
}

TEST(Text, Utf8ToUtf16RoundTripsAndReplacesInvalidBytes) {
    EXPECT_EQ(to_utf16("S-1-5-18"), L"S-1-5-18");
    EXPECT_EQ(to_utf16("\xF0\x9F\x98\x80"), (std::wstring{0xD83D, 0xDE00}));
    // clang-format off
    EXPECT_EQ(to_utf16("a\xFF" "b"), (std::wstring{L'a', 0xFFFD, L'b'}));
    // clang-format on
    std::wstring wide = to_utf16("\xC3\xA9t\xC3\xA9");
    EXPECT_EQ(wcslen(wide.c_str()), wide.size());  // NUL-terminated
    EXPECT_EQ(to_utf8(wide), "\xC3\xA9t\xC3\xA9");
}

TEST(Text, Utf8Validity) {
    struct Case {
        const char* bytes;
        bool valid;
    };
    const Case cases[] = {
        {"plain", true},
        {"\xC3\xA9", true},
        {"\xF4\x8F\xBF\xBF", true},   // U+10FFFF
        {"\xC0\xAF", false},          // overlong
        {"\xE0\x80\xAF", false},      // overlong
        {"\xED\xA0\x80", false},      // surrogate
        {"\xF4\x90\x80\x80", false},  // past U+10FFFF
        {"\xC3", false},              // truncated
        {"\x80", false},              // lone continuation
    };
    for (const Case& c : cases) {
        EXPECT_EQ(is_valid_utf8(c.bytes), c.valid) << c.bytes;
    }
    // clang-format off
    EXPECT_EQ(sanitize_utf8("a\xE2\x82" "b"), "a\xEF\xBF\xBD" "b");
    // clang-format on
}

}  // namespace
}  // namespace drovane
