// The endpoint server's accept loop: accepts connections on the listener and hands back the next
// one whose client runs under the owner's account and passes the token gate.
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <optional>
#include <string_view>

#include "service/hub/helper_log.hpp"
#include "service/peer/owner_check.hpp"

namespace drovane::peer {

// The pause after a failed accept.
inline constexpr std::chrono::seconds kAcceptRetryPause{1};

// The most connections accepted together and judged against one table snapshot.
inline constexpr std::size_t kMaxAdmissionBatch = 256;

// The listening socket with the timer of the loop's pause. Both are used only from the server
// task's strand; closing the listener abandons a pending accept and a pending pause alike.
struct Listener {
    explicit Listener(const boost::asio::any_io_executor& executor) : acceptor(executor) {}

    void close() {
        boost::system::error_code ignored;
        acceptor.close(ignored);
        if (pause) {
            pause->cancel();
        }
    }

    boost::asio::ip::tcp::acceptor acceptor;
    // Made at the first failed accept. The runtime's first timer starts a timer thread of its
    // own, which a Helper that has nothing to time does without.
    std::optional<boost::asio::steady_timer> pause;
    // Sees the outcome of every accept before the loop does, with the accepted socket; a test
    // sets an error in it to stand for a failed accept (the connection accepted then is closed).
    // Empty in the product.
    std::function<void(boost::system::error_code& outcome,
                       const boost::asio::ip::tcp::socket& connection)>
        inspect_accept_for_testing;
    // Takes the table snapshots of the owner check; empty in the product (the system's table).
    TcpTableReader read_table_for_testing;
    // Connections admitted in the last batch and not yet handed back.
    std::deque<boost::asio::ip::tcp::socket> admitted;
};

// Waits for the next accepted connection that passes the owner check; the check runs before a
// byte of the connection is read. After each accept the loop also takes, without waiting, the
// connections already waiting in the backlog (at most kMaxAdmissionBatch in all) and judges them
// together against one snapshot taken after the last of them was accepted, so that a flood of
// foreign connections costs one table read per batch and the owner's connection is not queued
// behind one read per foreign one. Accept failures are logged and retried after a pause, refused
// connections are closed and the loop goes on at once. Ends, with none, only once the listener
// has been closed. Accepted sockets belong to `connection_executor`. Failures and refusals go to
// `log`, which must outlive the loop.
boost::asio::awaitable<std::optional<boost::asio::ip::tcp::socket>> accept_owner_connection(
    Listener& listener, std::string_view owner_sid,
    boost::asio::any_io_executor connection_executor,
    hub::HelperLogList& log = hub::process_helper_log());

}  // namespace drovane::peer
