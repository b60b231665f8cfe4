// The request rules that need no I/O: the rejections' replies, the caller headers and the
// local-caller check, the ping and logs queries and the body headers.
#include "service/hub/api/router_rules.hpp"

#include <array>
#include <limits>
#include <utility>
#include <vector>

#include "ascii.hpp"
#include "names.hpp"
#include "service/hub/api/wire.hpp"
#include "text.hpp"

namespace drovane::hub {
namespace {

constexpr std::array<std::string_view, 3> kAllowedHostNames = {"127.0.0.1", "localhost",
                                                               names::service};

bool is_hex_digit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    return ascii_lower(c) - 'a' + 10;
}

bool is_alpha_digit(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// The characters that may appear somewhere in a URI: unreserved, reserved and "%".
bool is_uri_char(char c) {
    if (is_alpha_digit(c)) {
        return true;
    }
    return std::string_view("-._~:/?#[]@!$&'()*+,;=%").find(c) != std::string_view::npos;
}

// RFC 9110 token characters.
bool is_token_char(char c) {
    return is_alpha_digit(c) ||
           std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

std::size_t token_length(std::string_view text) {
    std::size_t n = 0;
    while (n < text.size() && is_token_char(text[n])) {
        ++n;
    }
    return n;
}

// The length of a quoted-string at the start of `text`, or 0 when there is none.
std::size_t quoted_string_length(std::string_view text) {
    if (text.empty() || text[0] != '"') {
        return 0;
    }
    for (std::size_t i = 1; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '"') {
            return i + 1;
        }
        if (c == '\\') {
            if (++i >= text.size()) {
                return 0;
            }
            const auto escaped = static_cast<unsigned char>(text[i]);
            if (escaped != '\t' && (escaped < 0x20 || escaped == 0x7F)) {
                return 0;
            }
        } else if (c != '\t' && (c < 0x20 || c == 0x7F)) {
            return 0;
        }
    }
    return 0;
}

std::string_view skip_ows(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    return text;
}

}  // namespace

Reply reply_for_rejection(const Rejection& rejection) {
    if (rejection.is_not_found()) {
        return error_reply(404, "notFound", "Helper endpoint not found");
    }
    if (rejection.has(RejectionKind::ForbiddenCaller)) {
        return with_header(error_reply(403, "invalidRequest",
                                       "browser origins and non-local hosts are not allowed"),
                           "connection", "close");
    }
    if (rejection.has(RejectionKind::InvalidQuery)) {
        return with_header(error_reply(400, "invalidRequest", "invalid ping query"),
                           kProtocolHeader, kProtocolVersion);
    }
    if (rejection.has(RejectionKind::InvalidBody)) {
        return error_reply(400, "invalidRequest", "invalid JSON request body");
    }
    if (rejection.has(RejectionKind::PayloadTooLarge)) {
        return with_header(error_reply(413, "invalidRequest", "request body exceeds 4096 bytes"),
                           "connection", "close");
    }
    if (rejection.has(RejectionKind::LengthRequired)) {
        return error_reply(411, "invalidRequest", "request body length is required");
    }
    if (rejection.has(RejectionKind::InvalidHeader)) {
        return error_reply(400, "invalidRequest", "invalid request header");
    }
    if (rejection.has(RejectionKind::MethodNotAllowed)) {
        return error_reply(405, "invalidRequest", "Helper endpoint does not accept this method");
    }
    return error_reply(500, "internalError", "unhandled Helper request rejection");
}

bool is_visible_header_value(std::string_view value) {
    for (char ch : value) {
        const auto c = static_cast<unsigned char>(ch);
        if (c != '\t' && (c < 0x20 || c > 0x7E)) {
            return false;
        }
    }
    return true;
}

bool is_allowed_host(std::string_view value) {
    if (value.empty() || value.back() == '@') {
        return false;
    }
    for (char c : value) {
        // "/", "?" and "#" would end the authority before the end of the value.
        if (!is_uri_char(c) || c == '/' || c == '?' || c == '#') {
            return false;
        }
    }
    // At most one "[", closed by a later "]"; the bracketed range is [open, close].
    constexpr std::size_t npos = std::string_view::npos;
    const std::size_t open = value.find('[');
    std::size_t close = npos;
    if (open != npos) {
        if (value.find('[', open + 1) != npos) {
            return false;
        }
        close = value.find(']', open + 1);
        if (close == npos) {
            return false;
        }
    }
    const auto inside_brackets = [&](std::size_t i) {
        return open != npos && i > open && i < close;
    };
    const std::size_t at = value.rfind('@');
    const std::size_t host_start = at == npos ? 0 : at + 1;
    std::size_t colons = 0;
    for (std::size_t i = host_start; i < value.size(); ++i) {
        if (inside_brackets(i)) {
            continue;
        }
        if (value[i] == ':' && ++colons > 1) {
            return false;
        }
        if (value[i] == '%') {
            return false;
        }
    }
    std::string_view host = value.substr(host_start);
    if (!host.empty() && host.front() == '[') {
        host = host.substr(0, host.find(']') + 1);
    } else {
        host = host.substr(0, host.find(':'));
    }
    for (std::string_view allowed : kAllowedHostNames) {
        if (ascii_iequals(host, allowed)) {
            return true;
        }
    }
    return false;
}

bool check_local_caller(const std::string* host, const std::string* origin) {
    if (host != nullptr && !is_allowed_host(*host)) {
        return false;
    }
    // Browsers send Origin; a local program has no reason to. Any value refuses, empty too.
    return origin == nullptr;
}

std::string form_decode(std::string_view text) {
    std::string bytes;
    bytes.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '+') {
            bytes.push_back(' ');
        } else if (c == '%' && i + 2 < text.size() && is_hex_digit(text[i + 1]) &&
                   is_hex_digit(text[i + 2])) {
            bytes.push_back(
                static_cast<char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2])));
            i += 2;
        } else {
            bytes.push_back(c);
        }
    }
    return sanitize_utf8(bytes);
}

namespace {

// One key and its value of an HTML-form query, both decoded.
struct FormPair {
    std::string key;
    std::string value;
};

// The pairs of a query (absent counts as empty), in order: split on "&", empty pieces skipped,
// each piece split at its first "=" (no "=" is an empty value), keys and values form-decoded.
std::vector<FormPair> form_pairs(std::optional<std::string_view> query) {
    std::vector<FormPair> pairs;
    std::string_view rest = query.value_or(std::string_view());
    while (true) {
        const std::size_t amp = rest.find('&');
        const std::string_view piece = rest.substr(0, amp);
        if (!piece.empty()) {
            const std::size_t eq = piece.find('=');
            pairs.push_back(
                {form_decode(piece.substr(0, eq)),
                 eq == std::string_view::npos ? std::string() : form_decode(piece.substr(eq + 1))});
        }
        if (amp == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(amp + 1);
    }
    return pairs;
}

}  // namespace

std::optional<std::string> parse_ping_query(std::optional<std::string_view> query) {
    std::optional<std::string> digest;
    for (FormPair& pair : form_pairs(query)) {
        if (pair.key != "coreSha256" || digest) {
            return std::nullopt;  // any other key, or the key a second time
        }
        digest = std::move(pair.value);
    }
    return digest;
}

std::optional<LogsQuery> parse_logs_query(std::optional<std::string_view> query) {
    LogsQuery logs;
    for (const FormPair& pair : form_pairs(query)) {
        if (pair.key != kLogsCursorKey) {
            continue;  // other keys are ignored, as they were before the cursor existed
        }
        if (logs.after || pair.value.empty() || pair.value.size() > kLogsCursorMaxDigits) {
            return std::nullopt;
        }
        std::uint64_t after = 0;
        for (char c : pair.value) {
            if (c < '0' || c > '9') {
                return std::nullopt;
            }
            after = after * 10 + static_cast<std::uint64_t>(c - '0');  // 19 digits fit
        }
        if (after > kLogsCursorMax) {
            return std::nullopt;
        }
        logs.after = after;
    }
    return logs;
}

std::optional<std::uint64_t> parse_content_length(std::string_view value) {
    value = trim_ows(value);
    if (value.empty()) {
        return std::nullopt;
    }
    std::uint64_t length = 0;
    bool overflow = false;
    for (char c : value) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (length > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) {
            overflow = true;
        } else {
            length = length * 10 + digit;
        }
    }
    return overflow ? std::numeric_limits<std::uint64_t>::max() : length;
}

bool is_json_media_type(std::string_view value) {
    // type "/" subtype *( OWS ";" OWS [ token "=" ( token / quoted-string ) ] ) OWS
    std::string_view rest = skip_ows(value);
    const std::size_t type_length = token_length(rest);
    if (type_length == 0 || type_length >= rest.size() || rest[type_length] != '/') {
        return false;
    }
    const std::string_view type = rest.substr(0, type_length);
    rest.remove_prefix(type_length + 1);
    const std::size_t subtype_length = token_length(rest);
    if (subtype_length == 0) {
        return false;
    }
    const std::string_view subtype = rest.substr(0, subtype_length);
    rest.remove_prefix(subtype_length);
    for (;;) {
        rest = skip_ows(rest);
        if (rest.empty()) {
            break;
        }
        if (rest.front() != ';') {
            return false;
        }
        rest = skip_ows(rest.substr(1));
        if (rest.empty() || rest.front() == ';') {
            continue;  // an empty parameter
        }
        const std::size_t name_length = token_length(rest);
        if (name_length == 0 || name_length >= rest.size() || rest[name_length] != '=') {
            return false;
        }
        rest.remove_prefix(name_length + 1);
        std::size_t value_length = quoted_string_length(rest);
        if (value_length == 0) {
            value_length = token_length(rest);
        }
        if (value_length == 0) {
            return false;
        }
        rest.remove_prefix(value_length);
    }
    return ascii_iequals(type, "application") && ascii_iequals(subtype, "json");
}

}  // namespace drovane::hub
