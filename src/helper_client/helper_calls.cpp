#include "helper_client/helper_calls.hpp"

#include <algorithm>
#include <array>
#include <boost/json.hpp>
#include <limits>

#include "ascii.hpp"

namespace drovane::helper_client {

namespace json = boost::json;

namespace {

constexpr unsigned bit(Operation operation) {
    return 1u << static_cast<unsigned>(operation);
}
constexpr unsigned kEvery =
    bit(Operation::ping) | bit(Operation::start) | bit(Operation::stop) | bit(Operation::logs);
constexpr unsigned kWithBody = bit(Operation::start) | bit(Operation::stop);

// Every error reply the Helper may send to a well-formed request of this library, by status and
// code, with the calls that may receive it. 404 and 405 are missing on purpose: the library
// sends only known paths with their methods, so either means the listener is no Helper of this
// protocol.
struct DocumentedError {
    unsigned status;
    std::string_view code;
    unsigned operations;
};
constexpr std::array kDocumentedErrors{
    DocumentedError{403, "invalidRequest", kEvery},  // not a local caller
    DocumentedError{400, "invalidRequest", kEvery},  // request header, ping query, body
    DocumentedError{411, "invalidRequest", kWithBody},
    DocumentedError{413, "invalidRequest", kWithBody},
    DocumentedError{500, "internalError", kEvery},  // unhandled rejection, task failures
    DocumentedError{500, "coreStopFailed", kWithBody},
    DocumentedError{409, "coreVerificationFailed", bit(Operation::start)},
    DocumentedError{500, "processLaunchFailed", bit(Operation::start)},
    DocumentedError{409, "coreSha256Mismatch", bit(Operation::ping)},
};

constexpr std::string_view operation_name(Operation operation) {
    constexpr std::string_view kNames[] = {"ping", "start", "stop", "logs"};
    return kNames[static_cast<unsigned>(operation)];
}

Failure bad_reply(Operation operation, const HttpReply& reply, std::string why) {
    std::string shown = reply.body.substr(0, 200);
    return {FailureKind::bad_reply,
            Error(why + " (status " + std::to_string(reply.status) + ", body \"" + shown + "\")")
                .context("undocumented reply to " + std::string(operation_name(operation)))};
}

bool has_type(const HttpReply& reply, std::string_view type) {
    const std::string* value = reply.header("content-type");
    return value != nullptr && ascii_iequals(*value, type);
}
constexpr std::string_view kJson = "application/json";
constexpr std::string_view kText = "text/plain; charset=utf-8";

// The body as a JSON object whose members are exactly `required` plus any of `optional`.
Result<json::object> read_object(const HttpReply& reply,
                                 std::initializer_list<std::string_view> required,
                                 std::initializer_list<std::string_view> optional = {}) {
    if (!has_type(reply, kJson)) {
        return Error("a JSON reply without content type application/json");
    }
    boost::system::error_code ec;
    json::value value = json::parse(reply.body, ec);
    if (ec || !value.is_object()) {
        return Error("a body that is not a JSON object");
    }
    json::object& object = value.as_object();
    for (std::string_view name : required) {
        if (!object.contains(name)) {
            return Error("no \"" + std::string(name) + "\" member");
        }
    }
    for (const auto& member : object) {
        bool known = std::find(required.begin(), required.end(), member.key()) != required.end() ||
                     std::find(optional.begin(), optional.end(), member.key()) != optional.end();
        if (!known) {
            return Error("an unknown member \"" + std::string(member.key()) + "\"");
        }
    }
    return std::move(object);
}

Result<HelperError> read_helper_error(const HttpReply& reply) {
    Result<json::object> object = read_object(reply, {"code", "message"}, {"details"});
    DROVANE_RETURN_IF_ERROR(object);
    const json::value& code = object->at("code");
    const json::value& message = object->at("message");
    if (!code.is_string() || !message.is_string()) {
        return Error("an error whose code or message is not a string");
    }
    HelperError error{std::string(code.as_string()), std::string(message.as_string()), {}};
    if (const json::value* details = object->if_contains("details")) {
        const json::object* fields = details->if_object();
        const json::value* os_error = fields ? fields->if_contains("osError") : nullptr;
        if (error.code != "processLaunchFailed" || os_error == nullptr || fields->size() != 1 ||
            !os_error->is_int64() || os_error->as_int64() < std::numeric_limits<int>::min() ||
            os_error->as_int64() > std::numeric_limits<int>::max()) {
            return Error("error details other than an osError of processLaunchFailed");
        }
        error.os_error = static_cast<std::int32_t>(os_error->as_int64());
    }
    return error;
}

// A JSON error reply: documented only with a status and code the call may receive.
Call<Answer> map_error(Operation operation, const HttpReply& reply, Answer answer) {
    Result<HelperError> error = read_helper_error(reply);
    if (!error) {
        return bad_reply(operation, reply, error.error().text());
    }
    for (const DocumentedError& documented : kDocumentedErrors) {
        if (documented.status == reply.status && documented.code == error->code &&
            (documented.operations & bit(operation)) != 0) {
            answer.error = std::move(error).value();
            return answer;
        }
    }
    return bad_reply(operation, reply, "error code " + error->code + " is not documented here");
}

Call<Answer> map_ping(const HttpReply& reply, Answer answer) {
    const std::string* protocol = reply.header(names::protocol_header);
    const bool from_ping = reply.status == 200 || reply.status == 409;
    if (from_ping) {
        if (protocol == nullptr) {
            return bad_reply(Operation::ping, reply, "no protocol header");
        }
        if (*protocol != kProtocolVersion) {
            return Failure{FailureKind::protocol_mismatch,
                           Error("the Helper speaks protocol " + *protocol + ", this library " +
                                 std::string(kProtocolVersion) +
                                 ": install the Helper that came with this client")};
        }
    }
    if (protocol != nullptr) {
        answer.protocol = *protocol;
    }
    if (from_ping && has_type(reply, kText)) {
        answer.success = reply.status == 200;
        answer.text = reply.body;
        return answer;
    }
    if (reply.status == 200) {
        return bad_reply(Operation::ping, reply, "a ping success that is not plain text");
    }
    return map_error(Operation::ping, reply, std::move(answer));
}

Call<Answer> map_start(const HttpReply& reply, std::string_view session_id, Answer answer) {
    if (reply.status != 200) {
        return map_error(Operation::start, reply, std::move(answer));
    }
    Result<json::object> object = read_object(reply, {"sessionId", "pid"});
    if (!object) {
        return bad_reply(Operation::start, reply, object.error().text());
    }
    const json::value& session = object->at("sessionId");
    const json::value& pid = object->at("pid");
    if (!session.is_string() || session.as_string() != session_id) {
        return bad_reply(Operation::start, reply, "a sessionId other than the one sent");
    }
    if (!(pid.is_int64() || pid.is_uint64()) || pid.to_number<std::int64_t>() <= 0 ||
        pid.to_number<std::int64_t>() > std::numeric_limits<std::uint32_t>::max()) {
        return bad_reply(Operation::start, reply, "a pid that is no process ID");
    }
    answer.success = true;
    answer.session_id = std::string(session.as_string());
    answer.pid = static_cast<std::uint32_t>(pid.to_number<std::int64_t>());
    return answer;
}

Call<Answer> map_stop(const HttpReply& reply, std::string_view session_id, Answer answer) {
    if (reply.status != 200 && reply.status != 409) {
        return map_error(Operation::stop, reply, std::move(answer));
    }
    Result<json::object> object = read_object(reply, {"sessionId", "stopped"}, {"reason"});
    if (!object) {
        if (reply.status == 409) {  // 409 is also coreVerificationFailed's: not for stop
            return map_error(Operation::stop, reply, std::move(answer));
        }
        return bad_reply(Operation::stop, reply, object.error().text());
    }
    const json::value& session = object->at("sessionId");
    const json::value& stopped = object->at("stopped");
    const json::value* reason = object->if_contains("reason");
    if (!session.is_string() || session.as_string() != session_id) {
        return bad_reply(Operation::stop, reply, "a sessionId other than the one sent");
    }
    if (!stopped.is_bool()) {
        return bad_reply(Operation::stop, reply, "a stopped member that is not true or false");
    }
    // The three stop replies: 200 stopped; 200 not stopped, notRunning; 409 not stopped,
    // sessionMismatch.
    std::string why = reason && reason->is_string() ? std::string(reason->as_string()) : "";
    const bool documented = (reply.status == 200 && stopped.as_bool() && reason == nullptr) ||
                            (reply.status == 200 && !stopped.as_bool() && why == "notRunning") ||
                            (reply.status == 409 && !stopped.as_bool() && why == "sessionMismatch");
    if (!documented) {
        return bad_reply(Operation::stop, reply, "a stop outcome the protocol does not name");
    }
    answer.success = reply.status == 200;
    answer.session_id = std::string(session.as_string());
    answer.stopped = stopped.as_bool();
    answer.reason = std::move(why);
    return answer;
}

Call<Answer> map_logs(const HttpReply& reply, Answer answer) {
    if (reply.status != 200) {
        return map_error(Operation::logs, reply, std::move(answer));
    }
    if (!has_type(reply, kText)) {
        return bad_reply(Operation::logs, reply, "a log that is not plain text");
    }
    answer.success = true;
    answer.text = reply.body;
    return answer;
}

// A header of 1 to 19 decimal digits, at most the largest signed 64-bit number.
std::optional<std::uint64_t> header_number(const HttpReply& reply, std::string_view name) {
    const std::string* text = reply.header(name);
    if (text == nullptr || text->empty() || text->size() > 19) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (char c : *text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return std::nullopt;
    }
    return value;
}

bool is_lower_hex(std::string_view text, std::size_t length) {
    return text.size() == length && std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

Failure invalid_argument(std::string what) {
    return {FailureKind::invalid_argument, Error(std::move(what) + ": nothing was sent")};
}

Call<Answer> exchange_and_map(Transport& transport, Operation operation, std::string_view method,
                              std::string_view target, std::string_view body,
                              std::string_view session_id = {}) {
    Call<HttpReply> reply = transport.exchange(method, target, body);
    if (!reply) {
        return reply.failure();
    }
    return map_reply(operation, *reply, session_id);
}

}  // namespace

bool is_core_digest(std::string_view text) {
    return is_lower_hex(text, 64);
}

bool is_session_id(std::string_view text) {
    return is_lower_hex(text, 32);
}

bool is_core_address(std::string_view text) {
    const std::string_view prefix = names::core_pipe_prefix;
    return text.starts_with(prefix) && is_lower_hex(text.substr(prefix.size()), 32);
}

Call<Answer> map_reply(Operation operation, const HttpReply& reply, std::string_view session_id) {
    Answer answer;
    answer.status = reply.status;
    switch (operation) {
        case Operation::ping:
            return map_ping(reply, std::move(answer));
        case Operation::start:
            return map_start(reply, session_id, std::move(answer));
        case Operation::stop:
            return map_stop(reply, session_id, std::move(answer));
        case Operation::logs:
            return map_logs(reply, std::move(answer));
    }
    return bad_reply(operation, reply, "an unknown call");
}

Call<Answer> ping(Transport& transport, std::string_view core_sha256) {
    if (!is_core_digest(core_sha256)) {
        return invalid_argument("the Core digest must be 64 lower-case hexadecimal characters");
    }
    return exchange_and_map(transport, Operation::ping, "GET",
                            "/ping?coreSha256=" + std::string(core_sha256), {});
}

Call<Answer> start(Transport& transport, std::string_view address, std::string_view session_id) {
    if (!is_core_address(address)) {
        return invalid_argument("the Core address must be " + std::string(names::core_pipe_prefix) +
                                " and 32 lower-case hexadecimal characters");
    }
    if (!is_session_id(session_id)) {
        return invalid_argument("the session ID must be 32 lower-case hexadecimal characters");
    }
    json::object body;
    body["address"] = address;
    body["sessionId"] = session_id;
    return exchange_and_map(transport, Operation::start, "POST", "/start", json::serialize(body),
                            session_id);
}

Call<Answer> stop(Transport& transport, std::string_view session_id) {
    if (!is_session_id(session_id)) {
        return invalid_argument("the session ID must be 32 lower-case hexadecimal characters");
    }
    json::object body;
    body["sessionId"] = session_id;
    return exchange_and_map(transport, Operation::stop, "POST", "/stop", json::serialize(body),
                            session_id);
}

Call<Answer> logs(Transport& transport) {
    return exchange_and_map(transport, Operation::logs, "GET", "/logs", {});
}

Call<Answer> logs_since(Transport& transport, std::uint64_t cursor) {
    for (bool restarted = false;; restarted = true) {
        Call<HttpReply> reply =
            transport.exchange("GET", "/logs?after=" + std::to_string(cursor), {});
        if (!reply) {
            return reply.failure();
        }
        Call<Answer> answer = map_reply(Operation::logs, *reply);
        if (!answer || !answer->success) {
            return answer;
        }
        const std::optional<std::uint64_t> next = header_number(*reply, names::log_next_header);
        const std::string* dropped_text = reply->header(names::log_dropped_header);
        const std::optional<std::uint64_t> dropped =
            dropped_text ? header_number(*reply, names::log_dropped_header)
                         : std::optional<std::uint64_t>(0);
        if (!next || *next == 0 || !dropped || (dropped_text && *dropped == 0)) {
            return bad_reply(Operation::logs, *reply, "a log without a valid line number header");
        }
        if (*next <= cursor) {
            if (restarted) {  // after=0 always lies below a next of 1 or more
                return bad_reply(Operation::logs, *reply, "a log numbered below its first line");
            }
            cursor = 0;  // a new Helper process: its log from the start
            continue;
        }
        answer->log_cursor = *next - 1;
        answer->dropped = *dropped;
        answer->restarted = restarted;
        return answer;
    }
}

}  // namespace drovane::helper_client
