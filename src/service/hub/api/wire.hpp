// The Helper's wire protocol: request and reply shapes, the reply writers and the readers of
// the JSON request bodies.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "names.hpp"
#include "service/hub/api/request.hpp"
#include "service/hub/core_operations.hpp"
#include "service/hub/helper_log_list.hpp"

namespace drovane::hub {

inline constexpr std::string_view kProtocolHeader = names::protocol_header;
inline constexpr std::string_view kProtocolVersion = names::protocol_version;
inline constexpr std::string_view kLogNextHeader = names::log_next_header;
inline constexpr std::string_view kLogDroppedHeader = names::log_dropped_header;

struct StartReply {
    std::string session_id;
    std::uint32_t pid = 0;
};

struct StopReply {
    std::string session_id;
    bool stopped = false;
    std::optional<std::string> reason;  // "notRunning" or "sessionMismatch" when not stopped
};

// A JSON HelperError reply; "details"."osError" only when `os_error` is given.
Reply error_reply(unsigned status, std::string_view code, std::string_view message,
                  std::optional<std::int32_t> os_error = std::nullopt);
Reply json_reply(unsigned status, const StartReply& reply);
Reply json_reply(unsigned status, const StopReply& reply);
Reply text_reply(unsigned status, std::string text);
// Adds a header, replacing one of the same name.
Reply with_header(Reply reply, std::string_view name, std::string_view value);
// The logs reply: 200, the Helper log's text, "cache-control: no-store".
Reply logs_reply(std::string log_text);
// The same with the next sequence number, and the dropped count when it is not 0.
Reply logs_reply(HelperLogRead read);

// Body readers: exactly one JSON object or array of the shape's string fields; nothing on any
// fault of the body.
std::optional<StartParams> parse_start_params(std::string_view body);
std::optional<StopParams> parse_stop_params(std::string_view body);

}  // namespace drovane::hub
