// The HTTP/1.1 side of a connection. Private to the HTTP server.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <memory>
#include <string>

#include "service/hub/http/http_connection.hpp"

namespace drovane::hub::http {

// Serves the connection as HTTP/1.1; `received` holds the bytes already read from it.
boost::asio::awaitable<void> serve_http1(std::shared_ptr<Connection> connection,
                                         std::string received);

}  // namespace drovane::hub::http
