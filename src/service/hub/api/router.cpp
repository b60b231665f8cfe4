// Request admission and routing. Each request passes, in this order: the caller headers, the
// local-caller check, then the routes (path, method, query or body rules, hand-off). Whatever
// fails before an operation runs becomes one rejection, answered by reply_for_rejection.
#include "service/hub/api/router.hpp"

#include <array>
#include <exception>
#include <functional>
#include <limits>
#include <utility>
#include <variant>

#include "ascii.hpp"
#include "names.hpp"
#include "service/hub/api/core_replies.hpp"
#include "service/hub/api/router_rules.hpp"
#include "service/hub/api/wire.hpp"
#include "service/hub/helper_log.hpp"
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

// A path of exactly one segment equal to `name`, optionally followed by a single "/".
bool path_matches(std::string_view path, std::string_view name) {
    if (path.empty() || path.front() != '/') {
        return false;
    }
    path.remove_prefix(1);
    if (path.size() == name.size() + 1 && path.back() == '/') {
        path.remove_suffix(1);
    }
    return path == name;
}

enum class Endpoint { ping, start, stop, logs };

struct Route {
    std::string_view name;
    std::string_view method;
    Endpoint endpoint;
};

constexpr std::array<Route, 4> kRoutes = {{
    {"ping", "GET", Endpoint::ping},
    {"start", "POST", Endpoint::start},
    {"stop", "POST", Endpoint::stop},
    {"logs", "GET", Endpoint::logs},
}};

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

std::optional<std::string> parse_ping_query(std::optional<std::string_view> query) {
    std::optional<std::string> digest;
    std::string_view rest = query.value_or(std::string_view());
    while (true) {
        const std::size_t amp = rest.find('&');
        const std::string_view piece = rest.substr(0, amp);
        if (!piece.empty()) {
            const std::size_t eq = piece.find('=');
            const std::string key = form_decode(piece.substr(0, eq));
            if (key != "coreSha256" || digest) {
                return std::nullopt;  // any other key, or the key a second time
            }
            digest =
                eq == std::string_view::npos ? std::string() : form_decode(piece.substr(eq + 1));
        }
        if (amp == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(amp + 1);
    }
    return digest;
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

namespace {

using RouteOutcome = std::variant<Reply, RejectionKind>;

// The blocking-pool tasks of the operations, each owning its parsed parameters. They are made
// outside the coroutine body so that no lambda with captures lives inside a co_await expression.
std::function<PingOutcome()> ping_task(CoreOperations& core, std::string digest) {
    return [&core, digest = std::move(digest)] { return core.ping_helper(digest); };
}

std::function<StartOutcome()> start_task(CoreOperations& core, StartParams params) {
    return [&core, params = std::move(params)] { return core.start_core(params); };
}

std::function<StopOutcome()> stop_task(CoreOperations& core, StopParams params) {
    return [&core, params = std::move(params)] { return core.stop_core(params); };
}

// Runs a start or stop task on the blocking pool; a task that ends without an outcome counts as
// the operation's internal failure.
template <typename Outcome>
boost::asio::awaitable<Outcome> run_core_task(BlockingPool& pool, std::function<Outcome()> task) {
    Result<Outcome> result = co_await pool.run(std::move(task));
    if (!result) {
        co_return CoreFailure{CoreFailureKind::internal, std::move(result).error()};
    }
    co_return std::move(result).value();
}

// One route whose path matched: its method, then its query or body rules, then the hand-off.
boost::asio::awaitable<RouteOutcome> serve_route(const Route& route, Request& request,
                                                 CoreOperations& core, BlockingPool& pool) {
    if (request.method != route.method) {
        co_return RejectionKind::MethodNotAllowed;
    }
    switch (route.endpoint) {
        case Endpoint::logs:
            co_return logs_reply(helper_log_text());

        case Endpoint::ping: {
            std::optional<std::string> digest = parse_ping_query(request.query());
            if (!digest) {
                co_return RejectionKind::InvalidQuery;
            }
            std::function<PingOutcome()> task = ping_task(core, std::move(*digest));
            Result<PingOutcome> result = co_await pool.run(std::move(task));
            if (!result) {
                co_return ping_task_failed_reply(result.error());
            }
            co_return ping_reply(*result);
        }

        case Endpoint::start:
        case Endpoint::stop: {
            const std::string* length_header = request.header("content-length");
            const std::optional<std::uint64_t> length =
                length_header ? parse_content_length(*length_header) : std::nullopt;
            if (!length) {
                co_return RejectionKind::LengthRequired;
            }
            if (*length > kBodyLimit) {
                co_return RejectionKind::PayloadTooLarge;
            }
            const std::string* content_type = request.header("content-type");
            if (content_type && !is_json_media_type(*content_type)) {
                co_return RejectionKind::UnsupportedMediaType;
            }
            std::string body;
            if (request.body != nullptr) {
                Result<std::string> read = co_await request.body->read_body();
                if (!read || read->size() > kBodyLimit) {
                    co_return RejectionKind::BodyReadFailed;
                }
                body = std::move(read).value();
            }
            if (route.endpoint == Endpoint::start) {
                std::optional<StartParams> params = parse_start_params(body);
                if (!params) {
                    co_return RejectionKind::InvalidBody;
                }
                std::string session_id = params->session_id;
                std::function<StartOutcome()> task = start_task(core, std::move(*params));
                StartOutcome outcome = co_await run_core_task(pool, std::move(task));
                co_return start_reply(outcome, session_id);
            }
            std::optional<StopParams> params = parse_stop_params(body);
            if (!params) {
                co_return RejectionKind::InvalidBody;
            }
            std::string session_id = params->session_id;
            std::function<StopOutcome()> task = stop_task(core, std::move(*params));
            StopOutcome outcome = co_await run_core_task(pool, std::move(task));
            co_return stop_reply(outcome, session_id);
        }
    }
    co_return RejectionKind::NotFound;
}

}  // namespace

boost::asio::awaitable<Reply> RequestRouter::route_request(Request& request) const {
    try {
        // The caller headers: all read before any is judged. An HTTP/2 request may name its
        // host twice, in ":authority" and in Host; each name must pass, so a request naming a
        // foreign host in either is refused.
        const std::string* origin = request.header("origin");
        const std::string* host = request.header("host");
        const std::string* authority = request.header(kAuthorityHeader);
        if ((origin && !is_visible_header_value(*origin)) ||
            (host && !is_visible_header_value(*host)) ||
            (authority && !is_visible_header_value(*authority))) {
            co_return reply_for_rejection(Rejection(RejectionKind::InvalidHeader));
        }
        // The local-caller check applies to every path, known or not.
        if (!check_local_caller(host, origin) ||
            (authority != nullptr && !check_local_caller(authority, nullptr))) {
            co_return reply_for_rejection(Rejection(RejectionKind::ForbiddenCaller));
        }
        Rejection rejection;
        const std::string_view path = request.path();
        for (const Route& route : kRoutes) {
            if (!path_matches(path, route.name)) {
                continue;  // NotFound adds nothing
            }
            RouteOutcome outcome = co_await serve_route(route, request, core_, pool_);
            if (Reply* reply = std::get_if<Reply>(&outcome)) {
                co_return std::move(*reply);
            }
            rejection.add(std::get<RejectionKind>(outcome));
        }
        co_return reply_for_rejection(rejection);
    } catch (const std::exception&) {
        // Only allocation can throw here; the request still gets a reply, the one for a
        // rejection that has no reply of its own.
    }
    co_return reply_for_rejection(Rejection(RejectionKind::BodyReadFailed));
}

}  // namespace drovane::hub
