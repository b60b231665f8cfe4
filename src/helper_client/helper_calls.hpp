// The Helper's four calls as the client library makes them: what each sends, and which replies
// the protocol documents for it. A documented reply becomes an Answer; anything else, and every
// failure on the way, is a Failure of a named kind. The transport is a seam, so the mapping of
// replies runs in native tests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "error.hpp"
#include "helper_client/http_exchange.hpp"
#include "names.hpp"

namespace drovane::helper_client {

// Why a call has no documented reply. The values are those of the C interface's results.
enum class FailureKind : int {
    not_running = 2,         // the service reports Running but its process or port is gone
    not_helper = 3,          // the listener on the port is not the Helper service's process
    connection = 4,          // connecting, sending or receiving failed
    bad_reply = 5,           // a reply the protocol does not document for this call
    invalid_argument = 6,    // an argument the Helper would refuse: nothing was sent
    system = 7,              // a system call the library needs failed
    not_installed = 9,       // no such service
    not_started = 10,        // the service is stopped, starting or stopping
    not_owner = 11,          // the Helper closed the connection unanswered
    protocol_mismatch = 12,  // the Helper speaks another protocol version
    timed_out = 13,          // the call's deadline passed
    cancelled = 14,          // another thread cancelled the call
    not_core = 15,           // the Core pipe's server is not the Core the Helper started
};

struct Failure {
    FailureKind kind;
    Error error;
};

// A value, or the Failure that stands in for it.
template <typename T>
class [[nodiscard]] Call {
  public:
    Call(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Call(Failure failure) : state_(std::in_place_index<1>, std::move(failure)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& operator*() { return std::get<0>(state_); }
    const T& operator*() const { return std::get<0>(state_); }
    T* operator->() { return &std::get<0>(state_); }
    const T* operator->() const { return &std::get<0>(state_); }
    const Failure& failure() const { return std::get<1>(state_); }

  private:
    std::variant<T, Failure> state_;
};

class Transport {
  public:
    virtual ~Transport() = default;
    // One request on a new connection to the Helper, and its whole reply.
    virtual Call<HttpReply> exchange(std::string_view method, std::string_view target,
                                     std::string_view json_body) = 0;
};

enum class Operation { ping, start, stop, logs };

// The Helper's JSON error object.
struct HelperError {
    std::string code;
    std::string message;
    std::optional<std::int32_t> os_error;  // "details"."osError", sent with processLaunchFailed
};

// A documented reply, read into its parts. `success` is the call's success reply: ping 200,
// start 200, stop 200 (stopped or not running), logs 200; every other documented reply is a
// refusal the caller reads from the other members.
struct Answer {
    unsigned status = 0;
    bool success = false;
    std::string protocol;              // ping: the protocol header's value
    std::string text;                  // ping: Helper path or failure text; logs: the log
    std::optional<HelperError> error;  // every JSON error reply
    std::string session_id;            // start, stop
    std::uint32_t pid = 0;             // start
    std::optional<bool> stopped;       // stop
    std::string reason;                // stop, "notRunning" or "sessionMismatch"
    // logs_since: the number of the last line now read (the next call's cursor), how many lines
    // after the old cursor left the log unread, and whether the Helper restarted, so that the
    // lines are the new Helper's from its first.
    std::uint64_t log_cursor = 0;
    std::uint64_t dropped = 0;
    bool restarted = false;
};

// The protocol version this library speaks, which every ping reply names.
inline constexpr std::string_view kProtocolVersion = names::protocol_version;

// Maps one reply of `operation` to its Answer. `session_id` is the one sent (start, stop), which
// the reply must echo.
Call<Answer> map_reply(Operation operation, const HttpReply& reply,
                       std::string_view session_id = {});

// The inputs as the Helper checks them: 64 lower-case hexadecimal characters; 32 of them; the
// Core pipe prefix followed by 32 of them.
bool is_core_digest(std::string_view text);
bool is_session_id(std::string_view text);
bool is_core_address(std::string_view text);

// The calls, each on a new connection through the transport. An input the Helper would refuse
// fails with invalid_argument before the transport is used.
Call<Answer> ping(Transport& transport, std::string_view core_sha256);
Call<Answer> start(Transport& transport, std::string_view address, std::string_view session_id);
Call<Answer> stop(Transport& transport, std::string_view session_id);
Call<Answer> logs(Transport& transport);
// GET /logs?after=cursor: the lines numbered above `cursor` (0 for all the log holds). A Helper
// that restarted since (its next number is not above the cursor) is read again from its first
// line in the same call, with `restarted` set.
Call<Answer> logs_since(Transport& transport, std::uint64_t cursor);

}  // namespace drovane::helper_client
