#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "service/hub/core/core_rules.hpp"
#include "sha256.hpp"

namespace drovane::hub {
namespace {

std::string hex_digest(std::string_view bytes) {
    auto digest = sha256_of(bytes);
    EXPECT_TRUE(digest.ok());
    return digest ? to_lower_hex(*digest) : std::string();
}

TEST(Sha256, KnownDigests) {
    EXPECT_EQ(hex_digest(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(hex_digest("abc"),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(hex_digest("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

TEST(Sha256, PiecewiseEqualsWhole) {
    std::string bytes;
    for (int i = 0; i < 10000; ++i) {
        bytes.push_back(static_cast<char>(i * 31 + 7));
    }
    auto digest = Sha256::create();
    ASSERT_TRUE(digest.ok());
    // Uneven pieces, an empty one among them, crossing the 64-byte block boundaries.
    std::size_t at = 0;
    for (std::size_t piece : {1u, 0u, 63u, 64u, 65u, 4096u}) {
        ASSERT_TRUE(digest->update(std::string_view(bytes).substr(at, piece)).ok());
        at += piece;
    }
    ASSERT_TRUE(digest->update(std::string_view(bytes).substr(at)).ok());
    auto whole = sha256_of(bytes);
    auto pieces = digest->finish();
    ASSERT_TRUE(whole.ok() && pieces.ok());
    EXPECT_EQ(*pieces, *whole);
}

TEST(Hex, LowerCaseTwoPerByte) {
    std::array<std::uint8_t, 5> bytes{0x00, 0x0f, 0xa5, 0xf0, 0xff};
    EXPECT_EQ(to_lower_hex(bytes), "000fa5f0ff");
    EXPECT_EQ(to_lower_hex(std::span<const std::uint8_t>()), "");
}

const std::string kHex32 = "0123456789abcdef0123456789abcdef";

TEST(CoreAddress, Forms) {
    const std::string prefix = "\\\\.\\pipe\\DrovaneCore_";
    ASSERT_EQ(prefix.size(), 21u);
    struct Case {
        std::string address;
        bool valid;
    };
    const std::vector<Case> cases = {
        {prefix + kHex32, true},
        {prefix + "ffffffffffffffffffffffffffffffff", true},
        {prefix + "0123456789ABCDEF0123456789abcdef", false},  // upper-case hex
        {prefix + kHex32.substr(1), false},                    // 52 characters
        {prefix + kHex32 + "0", false},                        // 54 characters
        {"\\\\.\\pipe\\drovanecore_" + kHex32, false},         // prefix differs in case
        {"\\\\.\\PIPE\\DrovaneCore_" + kHex32, false},
        {"//./pipe/DrovaneCore_" + kHex32, false},
        {"\\\\.\\pipe\\DrovaneCorX" + kHex32, false},
        {prefix + "0123456789abcdef0123456789abcdeg", false},
        {prefix + "0123456789abcdef 123456789abcdef", false},
        {prefix, false},
        {"", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(is_valid_core_address(c.address), c.valid) << c.address;
    }
}

TEST(SessionId, Forms) {
    EXPECT_TRUE(is_valid_session_id(kHex32));
    EXPECT_FALSE(is_valid_session_id("0123456789abcdeF0123456789abcdef"));
    EXPECT_FALSE(is_valid_session_id(kHex32.substr(1)));
    EXPECT_FALSE(is_valid_session_id(kHex32 + "a"));
    EXPECT_FALSE(is_valid_session_id(""));
    EXPECT_FALSE(is_valid_session_id(std::string(32, 'g')));
}

TEST(ExitStatus, DecimalUnlessBit31) {
    EXPECT_EQ(format_exit_status(0), "exit code: 0");
    EXPECT_EQ(format_exit_status(3), "exit code: 3");
    EXPECT_EQ(format_exit_status(0x7fffffff), "exit code: 2147483647");
    EXPECT_EQ(format_exit_status(0x80000000), "exit code: 0x80000000");
    EXPECT_EQ(format_exit_status(0xC0000005), "exit code: 0xc0000005");
    EXPECT_EQ(format_exit_status(0xFFFFFFFF), "exit code: 0xffffffff");
}

struct SplitCase {
    const char* name;
    std::vector<std::string> chunks;
    std::vector<std::string> lines;
    bool stopped;
};

void expect_splits(const std::vector<SplitCase>& cases) {
    for (const SplitCase& c : cases) {
        std::vector<std::string> lines;
        CoreLineSplitter splitter([&](std::string line) { lines.push_back(std::move(line)); });
        for (const std::string& chunk : c.chunks) {
            splitter.feed(chunk);
        }
        splitter.finish();
        EXPECT_EQ(lines, c.lines) << c.name;
        EXPECT_EQ(splitter.stopped(), c.stopped) << c.name;
    }
}

TEST(CoreLineSplitter, Cases) {
    const std::vector<SplitCase> cases = {
        {"crlf and lf", {"a\r\nb\n"}, {"a", "b"}, false},
        {"final fragment", {"a\nta", "il"}, {"a", "tail"}, false},
        {"cr and lf in separate reads", {"a\r", "\nb"}, {"a", "b"}, false},
        {"lone cr kept", {"a\rb\n"}, {"a\rb"}, false},
        {"empty lines", {"\n\r\n"}, {"", ""}, false},
        {"nothing", {}, {}, false},
        {"character split across reads", {"\xc3", "\xa9\n"}, {"\xc3\xa9"}, false},
        {"invalid line ends the copy", {"ok\n\xff\xfe\nlater\n", "more\n"}, {"ok"}, true},
        {"invalid final fragment dropped", {"ok\n\xc3"}, {"ok"}, true},
        {"surrogate encoded in UTF-8 is invalid", {"\xed\xa0\x80\nx\n"}, {}, true},
    };
    expect_splits(cases);
}

TEST(CoreLineSplitter, LongLinesAreCutAtTheLimit) {
    const std::size_t limit = kCoreLineLimit;
    const std::string mark(kCutLineMark);
    const std::string full(limit, 'a');
    const std::string e_acute = "\xc3\xa9";
    const std::string emoji = "\xf0\x9f\x98\x80";
    // A megabyte without a line feed, delivered in read-sized pieces.
    std::vector<std::string> flood(128, std::string(8192, 'x'));
    flood.push_back("\nnext\n");
    const std::vector<SplitCase> cases = {
        {"exactly the limit", {full + "\n"}, {full}, false},
        {"the limit before crlf", {full + "\r", "\n"}, {full}, false},
        {"one byte over", {full + "b\n", "next\n"}, {full + mark, "next"}, false},
        {"cr that is not before a line feed counts", {full + "\rb\n"}, {full + mark}, false},
        {"a megabyte in reads", flood, {std::string(limit, 'x') + mark, "next"}, false},
        {"two-byte character across the cut",
         {std::string(limit - 1, 'a') + e_acute + "\n"},
         {std::string(limit - 1, 'a') + mark},
         false},
        {"four-byte character across the cut",
         {std::string(limit - 2, 'a') + emoji + "\n"},
         {std::string(limit - 2, 'a') + mark},
         false},
        {"character ending at the cut kept",
         {std::string(limit - 2, 'a') + e_acute + "b\n"},
         {std::string(limit - 2, 'a') + e_acute + mark},
         false},
        {"dropped rest is not judged",
         {full + "\xff\xfe", "\xff\nafter\n"},
         {full + mark, "after"},
         false},
        {"invalid kept part ends the copy", {"\xff" + full + "\nafter\n"}, {}, true},
        {"long final fragment", {full, "tail"}, {full + mark}, false},
    };
    expect_splits(cases);
}

TEST(CoreLineSplitter, StopsFeedingAtInvalidLine) {
    std::vector<std::string> lines;
    CoreLineSplitter splitter([&](std::string line) { lines.push_back(std::move(line)); });
    EXPECT_TRUE(splitter.feed("one\ntw"));
    EXPECT_FALSE(splitter.feed("o\xff\nthree\n"));
    EXPECT_FALSE(splitter.feed("four\n"));
    splitter.finish();
    EXPECT_EQ(lines, std::vector<std::string>{"one"});
}

}  // namespace
}  // namespace drovane::hub
