// The HTTP/2 side of a connection, over nghttp2. Private to the HTTP server.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <cstddef>
#include <memory>
#include <string>

#include "service/hub/http/http_connection.hpp"

namespace drovane::hub::http {

// Serves the connection as HTTP/2; `received` holds the bytes already read from it.
boost::asio::awaitable<void> serve_http2(std::shared_ptr<Connection> connection,
                                         std::string received);

// The nghttp2 submits that can fail (out of memory, or a stream that is gone).
enum class Http2Submit { settings, headers, response, goaway, rst_stream };
// Test seam: the next `count` submits of `kind` fail as if nghttp2 had run out of memory.
void fail_http2_submits_for_testing(Http2Submit kind, int count);

// Heap blocks that nghttp2 holds for all live HTTP/2 sessions of the process, counted through
// the sessions' allocator hooks, for tests: what a long-lived connection keeps shows here.
std::size_t http2_session_blocks_for_testing();

}  // namespace drovane::hub::http
