// The HTTP connections that carry route_request: HTTP/1.1 (and 1.0) with persistent connections,
// and cleartext HTTP/2 for a client that opens with the HTTP/2 preface.
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <memory>

#include "service/hub/api/router.hpp"

namespace drovane::hub {

// The set of live connection tasks of one server run.
class ConnectionSet {
  public:
    ConnectionSet(boost::asio::any_io_executor executor, const RequestRouter& router);
    ConnectionSet(const ConnectionSet&) = delete;
    ConnectionSet& operator=(const ConnectionSet&) = delete;
    ~ConnectionSet();

    // Serves one admitted connection in a task of its own; returns at once.
    void serve(boost::asio::ip::tcp::socket socket);

    // Graceful shutdown: idle persistent connections close at once, a request in progress
    // finishes its reply with keep-alive off, HTTP/2 announces GOAWAY and finishes its open
    // streams. Completes once every connection task has ended; no new connection is served.
    boost::asio::awaitable<void> drain();

  private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace drovane::hub
