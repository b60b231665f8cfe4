// The owner's identity: an account SID in its standard string form, and how two such strings
// are compared.
#pragma once

#include <string_view>

namespace drovane::peer {

// "S-1-" then 1 to 16 dash-separated fields of ASCII digits, on the exact text (no trimming, no
// case folding, no numeric range).
bool is_valid_sid_string(std::string_view text);

// Same length in bytes and equal byte for byte once the letters A to Z are folded to lower case
// in both; every other byte is compared as it is.
bool same_account_sid(std::string_view left, std::string_view right);

}  // namespace drovane::peer
