#include "owner_sid.hpp"

#include <cstddef>

#include "ascii.hpp"

namespace drovane::peer {

namespace {

constexpr std::string_view kSidPrefix = "S-1-";
// One identifier-authority field plus at most 15 sub-authorities.
constexpr std::size_t kMaxSidFields = 16;

bool is_digit_field(std::string_view field) {
    if (field.empty()) {
        return false;
    }
    for (char c : field) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

}  // namespace

bool is_valid_sid_string(std::string_view text) {
    if (!text.starts_with(kSidPrefix)) {
        return false;
    }
    std::string_view rest = text.substr(kSidPrefix.size());
    std::size_t fields = 0;
    while (true) {
        std::size_t dash = rest.find('-');
        if (++fields > kMaxSidFields || !is_digit_field(rest.substr(0, dash))) {
            return false;
        }
        if (dash == std::string_view::npos) {
            return true;
        }
        rest.remove_prefix(dash + 1);
    }
}

bool same_account_sid(std::string_view left, std::string_view right) {
    return ascii_iequals(left, right);
}

}  // namespace drovane::peer
