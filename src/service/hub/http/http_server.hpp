// The HTTP connections that carry route_request: HTTP/1.1 (and 1.0) with persistent connections,
// and cleartext HTTP/2 for a client that opens with the HTTP/2 preface.
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <memory>

#include "service/hub/api/router.hpp"
#include "service/hub/helper_log.hpp"

namespace drovane::hub {

// How long a drain lets connections finish before it ends those still open: the last guard that
// keeps a stop from waiting forever, whatever holds a connection.
inline constexpr std::chrono::seconds kDrainTime{5};

// The set of live connection tasks of one server run.
class ConnectionSet {
  public:
    // `log` receives the one line a drain writes when it has to end connections.
    ConnectionSet(boost::asio::any_io_executor executor, const RequestRouter& router,
                  HelperLogList& log = process_helper_log());
    ConnectionSet(const ConnectionSet&) = delete;
    ConnectionSet& operator=(const ConnectionSet&) = delete;
    ~ConnectionSet();

    // Serves one admitted connection in a task of its own; returns at once.
    void serve(boost::asio::ip::tcp::socket socket);

    // Graceful shutdown: idle persistent connections close at once, a request in progress
    // finishes its reply with keep-alive off, HTTP/2 announces GOAWAY and finishes its open
    // streams. A connection still receiving a request whose client sends nothing for 2 s is
    // ended; kDrainTime after the drain began every connection still open is ended and that is
    // logged. Completes once every connection task has ended; no new connection is served.
    boost::asio::awaitable<void> drain();

  private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace drovane::hub
