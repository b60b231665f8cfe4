// Request admission and routing. Each request passes, in this order: the caller headers, the
// local-caller check, then the routes (path, method, query or body rules, hand-off). Whatever
// fails before an operation runs becomes one rejection, answered by reply_for_rejection.
#include "service/hub/api/router.hpp"

#include <array>
#include <exception>
#include <functional>
#include <utility>
#include <variant>

#include "service/hub/api/core_replies.hpp"
#include "service/hub/api/router_rules.hpp"
#include "service/hub/api/wire.hpp"

namespace drovane::hub {
namespace {

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
                                                 CoreOperations& core, BlockingPool& pool,
                                                 const HelperLogList& log) {
    if (request.method != route.method) {
        co_return RejectionKind::MethodNotAllowed;
    }
    switch (route.endpoint) {
        case Endpoint::logs: {
            const std::optional<LogsQuery> query = parse_logs_query(request.query());
            if (!query) {
                // Its own rejection: the ping's carries the protocol header, which a log does not.
                co_return error_reply(400, "invalidRequest", "invalid logs query");
            }
            co_return logs_reply(log.read(query->after));
        }

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
            RouteOutcome outcome = co_await serve_route(route, request, core_, pool_, log_);
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
