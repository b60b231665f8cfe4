// Header lookup and the split of a request target into path and query.
#include "service/hub/api/request.hpp"

#include "ascii.hpp"

namespace drovane::hub {

const std::string* find_header(const std::vector<Header>& headers, std::string_view name) {
    for (const Header& header : headers) {
        if (ascii_iequals(header.name, name)) {
            return &header.value;
        }
    }
    return nullptr;
}

std::string_view Request::path() const {
    const std::string_view whole(target);
    return whole.substr(0, whole.find('?'));
}

std::optional<std::string_view> Request::query() const {
    const std::string_view whole(target);
    const std::size_t mark = whole.find('?');
    if (mark == std::string_view::npos) {
        return std::nullopt;
    }
    return whole.substr(mark + 1);
}

bool Reply::closes_connection() const {
    // The Connection header is a comma-separated list of options; "close" among them ends the
    // connection once this reply has been written.
    for (const Header& header : headers) {
        if (!ascii_iequals(header.name, "connection")) {
            continue;
        }
        std::string_view rest(header.value);
        while (!rest.empty()) {
            const std::size_t comma = rest.find(',');
            if (ascii_iequals(trim_ows(rest.substr(0, comma)), "close")) {
                return true;
            }
            if (comma == std::string_view::npos) {
                break;
            }
            rest.remove_prefix(comma + 1);
        }
    }
    return false;
}

}  // namespace drovane::hub
