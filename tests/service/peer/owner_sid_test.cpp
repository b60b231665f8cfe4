#include <gtest/gtest.h>

#include <string>

#include "owner_sid.hpp"

namespace drovane::peer {
namespace {

TEST(OwnerSid, ValidStringForms) {
    struct Case {
        std::string text;
        bool valid;
    };
    const Case cases[] = {
        {"S-1-5-18", true},
        {"S-1-5", true},  // one field is enough
        {"S-1-5-21-1004336348-1177238915-682003330-512", true},
        {"S-1-0005-00000000000000000000000021", true},  // no range check
        {"S-1-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15-16", true},
        {"S-1-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15-16-17", false},
        {"S-1-", false},
        {"S-1-5-", false},
        {"S-1-5--18", false},
        {"S-1--5", false},
        {"s-1-5-18", false},
        {"S-2-5-18", false},
        {"S-1-5-18 ", false},
        {" S-1-5-18", false},
        {"S-1-5-1a", false},
        {"S-1-5-+18", false},
        {std::string("S-1-5-18\0", 9), false},
        {"S-1", false},
        {"", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(is_valid_sid_string(c.text), c.valid) << '"' << c.text << '"';
    }
}

TEST(OwnerSid, ComparisonFoldsOnlyAsciiLettersAndNeedsTheSameLength) {
    EXPECT_TRUE(same_account_sid("S-1-5-18", "S-1-5-18"));
    EXPECT_TRUE(same_account_sid("S-1-5-18", "s-1-5-18"));
    EXPECT_TRUE(same_account_sid("", ""));
    EXPECT_FALSE(same_account_sid("S-1-5-18", "S-1-5-180"));
    EXPECT_FALSE(same_account_sid("S-1-5-18", "S-1-5-1"));
    EXPECT_FALSE(same_account_sid("S-1-5-18", ""));
    // Only A-Z fold: '@' and '`' sit next to the letters but are distinct bytes, and a
    // non-ASCII letter is compared as its bytes.
    EXPECT_FALSE(same_account_sid("S-1-5-@", "S-1-5-`"));
    EXPECT_FALSE(same_account_sid("S-1-5-[", "S-1-5-{"));
    EXPECT_FALSE(same_account_sid("S-\xC3\x89", "S-\xC3\xA9"));
}

}  // namespace
}  // namespace drovane::peer
