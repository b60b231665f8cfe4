// The client library's side of HTTP/1.1: one request per connection, written right after the
// connection opens, and the reply read until the Helper closes it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"

namespace drovane::helper_client {

// The most bytes of one reply the library keeps. The largest reply the Helper sends is its log:
// 100 lines of at most 16 KiB each (a cut line's mark added), about 1.6 MiB with the head.
inline constexpr std::size_t kMaxReplyBytes = 4 * 1024 * 1024;

struct HttpReply {
    unsigned status = 0;
    std::vector<std::pair<std::string, std::string>> headers;  // names in lower case
    std::string body;

    const std::string* header(std::string_view name) const;
};

// The bytes of one request with "connection: close", so the reply ends with the connection.
std::string format_request(std::string_view method, std::string_view target, unsigned port,
                           std::string_view json_body = {});

// Parses a complete reply (status line, headers, body framed by content-length or by the end of
// the connection, or chunked). Fails on a reply of more than kMaxReplyBytes, and on chunk and
// content lengths beyond the bytes there are.
Result<HttpReply> parse_reply(std::string_view bytes);

}  // namespace drovane::helper_client
