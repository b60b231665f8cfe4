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
// Past kDrainTime, how long no request may have been routed before the drain leaves the
// connection tasks still alive behind: long enough for the connections ended at the deadline to
// run their ends on a loaded machine.
inline constexpr std::chrono::milliseconds kLeaveGrace{500};

// The set of live connection tasks of one server run.
class ConnectionSet {
  public:
    // `log` receives the lines a drain writes when it has to end connections. Every connection
    // task keeps the router as long as it runs, which may be longer than the set.
    ConnectionSet(boost::asio::any_io_executor executor,
                  std::shared_ptr<const RequestRouter> router,
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
    // logged. Completes once every connection task has ended, or, past that deadline, once no
    // request has been routed for kLeaveGrace (the Core operations have returned): the tasks
    // still alive then are left behind, which is logged. No new connection is served.
    boost::asio::awaitable<void> drain();

  private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace drovane::hub
