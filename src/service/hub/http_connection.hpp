// What the HTTP/1.1 and HTTP/2 sides of a connection share: the socket, the strand on which every
// step of the connection runs, the router, and the graceful-shutdown hook. Private to the HTTP
// server.
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "service/hub/router.hpp"

namespace drovane::hub::http {

using Strand = boost::asio::strand<boost::asio::any_io_executor>;

// The protocol side that serves a connection, told on the strand to shut down gracefully.
class ShutdownHook {
  public:
    virtual void graceful_shutdown() = 0;

  protected:
    ~ShutdownHook() = default;
};

// One accepted connection. Everything but request_shutdown() is used on `strand` only. The
// connection task has ended when the last owner lets go of this object.
class Connection : public std::enable_shared_from_this<Connection> {
  public:
    Connection(boost::asio::ip::tcp::socket socket, Strand strand, const RequestRouter& router,
               std::function<void()> on_end)
        : socket(std::move(socket)),
          strand(std::move(strand)),
          router(router),
          on_end_(std::move(on_end)) {}
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection() {
        // Shutting down first ends the connection for the client even if a child process
        // happens to hold a duplicate of the socket.
        boost::system::error_code ignored;
        socket.shutdown(boost::asio::ip::tcp::socket::shutdown_both, ignored);
        socket.close(ignored);
        if (on_end_) {
            on_end_();
        }
    }

    // Thread-safe: asks the connection, on its strand, to shut down gracefully.
    void request_shutdown();

    // Bounds a lingering close in time: a client that neither sends nor closes after the last
    // reply must not keep the connection, and with it a shutdown's drain, open forever.
    void limit_linger();

    boost::asio::ip::tcp::socket socket;
    const Strand strand;
    const RequestRouter& router;
    // Set once graceful shutdown has been asked for; a reply written from then on closes the
    // connection.
    bool draining = false;
    // The protocol serving the connection, once the first bytes have chosen it; until then the
    // connection is idle and shutdown just cancels the pending read.
    ShutdownHook* hook = nullptr;

  private:
    boost::asio::steady_timer linger_deadline_{strand};
    std::function<void()> on_end_;
};

// Serve the connection as HTTP/1.1 or HTTP/2; `received` holds the bytes already read from it.
boost::asio::awaitable<void> serve_http1(std::shared_ptr<Connection> connection,
                                         std::string received);
boost::asio::awaitable<void> serve_http2(std::shared_ptr<Connection> connection,
                                         std::string received);

// Ends a connection after a reply that closes it: the sending side is shut down, then whatever
// the client still sends (an unread body, say) is read and dropped until it closes, up to a
// bound, so that the reply is not lost to a reset caused by unread data.
boost::asio::awaitable<void> close_gracefully(Connection& connection);

// Lingering reads after the reply stop after this much, or after this long, and the socket is
// closed.
inline constexpr std::size_t kLingerLimit = 256 * 1024;
inline constexpr std::chrono::seconds kLingerTime{2};

}  // namespace drovane::hub::http
