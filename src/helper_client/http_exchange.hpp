// The client library's side of HTTP/1.1: one request per connection, written right after the
// connection opens, and the reply read until the Helper closes it.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"

namespace drovane::helper_client {

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
// the connection, or chunked).
Result<HttpReply> parse_reply(std::string_view bytes);

}  // namespace drovane::helper_client
