// The pieces of request admission and routing that need no I/O: rejections and their replies,
// the caller headers and the local-caller check, the ping and logs queries, the body headers.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "service/hub/api/request.hpp"

namespace drovane::hub {

enum class RejectionKind {
    NotFound,
    ForbiddenCaller,
    InvalidQuery,
    InvalidBody,
    PayloadTooLarge,
    LengthRequired,
    InvalidHeader,
    MethodNotAllowed,
    UnsupportedMediaType,
    BodyReadFailed,
};

// The kinds raised by the routes for one request. The empty set is NotFound: a path that no
// route accepts adds nothing, and NotFound is dropped as soon as any other kind is present.
class Rejection {
  public:
    Rejection() = default;
    explicit Rejection(RejectionKind kind) { add(kind); }

    void add(RejectionKind kind) {
        if (kind != RejectionKind::NotFound) {
            bits_ |= bit(kind);
        }
    }
    bool has(RejectionKind kind) const {
        return kind == RejectionKind::NotFound ? bits_ == 0 : (bits_ & bit(kind)) != 0;
    }
    bool is_not_found() const { return bits_ == 0; }

  private:
    static std::uint32_t bit(RejectionKind kind) {
        return std::uint32_t{1} << static_cast<unsigned>(kind);
    }
    std::uint32_t bits_ = 0;
};

// The JSON error reply for a rejection; the first kind found, in the fixed order, decides.
Reply reply_for_rejection(const Rejection& rejection);

// Whether a header value is visible ASCII (0x20 to 0x7E) or horizontal tab only.
bool is_visible_header_value(std::string_view value);

// Whether a Host value is a URI authority whose host is one of the allowed names.
bool is_allowed_host(std::string_view host);

// The local-caller check on the Host and Origin headers (each null when absent); the values are
// already known to be visible ASCII.
bool check_local_caller(const std::string* host, const std::string* origin);

// HTML-form decoding of one key or value: "+" is a space, "%XX" one byte, the bytes read as
// UTF-8 with each invalid sequence replaced by U+FFFD.
std::string form_decode(std::string_view text);

// The coreSha256 value of a ping query (absent counts as empty), or nothing when the key is
// missing, repeated, or joined by any other key.
std::optional<std::string> parse_ping_query(std::optional<std::string_view> query);

// The logs query's cursor: the sequence number of the last line the client has, as 1 to 19
// decimal digits of at most 2^63 - 1, so that it fits a signed 64-bit integer.
inline constexpr std::string_view kLogsCursorKey = "after";
inline constexpr std::size_t kLogsCursorMaxDigits = 19;
inline constexpr std::uint64_t kLogsCursorMax = std::numeric_limits<std::int64_t>::max();

struct LogsQuery {
    std::optional<std::uint64_t> after;  // absent: the whole log
};

// The logs query, or nothing when "after" is repeated, empty or not such a number. Other keys
// are ignored.
std::optional<LogsQuery> parse_logs_query(std::optional<std::string_view> query);

// The declared Content-Length when it is an unsigned decimal integer; a value too large for 64
// bits reads as the largest one, which is above any limit.
std::optional<std::uint64_t> parse_content_length(std::string_view value);

// Whether a Content-Type parses as a media type application/json (case ignored, parameters
// allowed).
bool is_json_media_type(std::string_view value);

}  // namespace drovane::hub
