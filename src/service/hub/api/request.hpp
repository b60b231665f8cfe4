// A request and a reply that belong to no HTTP version: the HTTP/1.1 and HTTP/2 connections both
// turn what they receive into a Request and write back the Reply that the router returns.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"

namespace drovane::hub {

struct Header {
    std::string name;
    std::string value;
};

// The value of the first header named `name` (ASCII case ignored), or null.
const std::string* find_header(const std::vector<Header>& headers, std::string_view name);

// The body of a request, read only when the router asks for it. The connection sends
// "100 Continue" first where the client asked for it. The router asks only after the declared
// length has been checked against the body limit, so at most that much is ever held.
class BodySource {
  public:
    virtual ~BodySource() = default;
    virtual boost::asio::awaitable<Result<std::string>> read_body() = 0;
};

// HTTP/2 carries the host in ":authority" as well as (or instead of) Host; the connection hands
// it on among the headers under this name, which no HTTP/1.1 field name can take.
inline constexpr std::string_view kAuthorityHeader = ":authority";

struct Request {
    std::string method;  // as sent, e.g. "GET"
    std::string target;  // raw path and query as sent, e.g. "/ping?coreSha256=..."
    std::vector<Header> headers;
    BodySource* body = nullptr;  // null when the request has no body

    const std::string* header(std::string_view name) const { return find_header(headers, name); }
    // The target up to the first "?", and the text after it (absent without a "?").
    std::string_view path() const;
    std::optional<std::string_view> query() const;
};

struct Reply {
    unsigned status = 200;
    std::vector<Header> headers;  // names in lower case, as written on the wire
    std::string body;

    const std::string* header(std::string_view name) const { return find_header(headers, name); }
    // Whether the connection closes once this reply is written ("connection: close").
    bool closes_connection() const;
};

}  // namespace drovane::hub
