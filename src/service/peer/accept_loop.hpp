// The endpoint server's admission: accepts connections on the listener and hands on each one
// whose client runs under the owner's account and passes the token gate.
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "service/blocking_pool.hpp"
#include "service/hub/helper_log.hpp"
#include "service/peer/owner_check.hpp"

namespace drovane::peer {

// The pause after a failed accept.
inline constexpr std::chrono::seconds kAcceptRetryPause{1};

// The most connections accepted and not yet judged. They are judged together, against one table
// snapshot; while this many wait, accepting waits too and the backlog holds the rest.
inline constexpr std::size_t kMaxAdmissionBatch = 1024;

namespace detail {
struct AdmissionState;
}

// The listening socket with the timer of the accepting loop's pause. Both are used only from
// the server task's strand; closing the listener abandons a pending accept, a pending pause and
// a judgement under way alike.
struct Listener {
    explicit Listener(const boost::asio::any_io_executor& executor) : acceptor(executor) {}
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;
    ~Listener();

    void close();

    boost::asio::ip::tcp::acceptor acceptor;
    // Made at the first failed accept, so that a listener whose accepts never fail holds no
    // timer.
    std::optional<boost::asio::steady_timer> pause;
    // Sees the outcome of every accept before the loop does, with the accepted socket; a test
    // sets an error in it to stand for a failed accept (the connection accepted then is closed).
    // Empty in the product.
    std::function<void(boost::system::error_code& outcome,
                       const boost::asio::ip::tcp::socket& connection)>
        inspect_accept_for_testing;
    // Takes the table snapshots of the owner check; empty in the product (the system's table).
    // Called on a thread of the judging pool.
    TcpTableReader read_table_for_testing;
    // The admission under way, which close() ends.
    std::shared_ptr<detail::AdmissionState> admission;
};

// Admits connections until the listener is closed. Accepting only accepts: every connection that
// arrives is taken out of the backlog at once, with those already waiting behind it, into a
// bounded queue; a connection that its client reset while it waited is skipped; other accept
// failures are logged and retried after a pause. Judging runs on `judges`, one batch at a time:
// everything queued is judged against one table snapshot taken after the last of it was
// accepted (owner_check.hpp), so that a flood costs one table read per batch, the backlog keeps
// draining during a read, and closing the listener never waits for one. Admitted connections go
// to `serve`, on the listener's strand, before a byte of them is read; refused ones are closed
// abortively. Connections still queued or being judged when the listener closes are closed
// abortively too. Accepted sockets belong to `connection_executor`. Failures and refusals go to
// `log`, which must outlive the judging pool's work.
boost::asio::awaitable<void> admit_connections(
    Listener& listener, std::string owner_sid, boost::asio::any_io_executor connection_executor,
    BlockingPool& judges, std::function<void(boost::asio::ip::tcp::socket)> serve,
    hub::HelperLogList& log = hub::process_helper_log());

}  // namespace drovane::peer
