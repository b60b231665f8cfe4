// What the HTTP/1.1 and HTTP/2 sides of a connection share: the socket, the strand on which every
// step of the connection runs, the router, and the connection's way to its end (the stage and the
// graceful-shutdown request), which only the connection owns. Private to the HTTP server.
#pragma once

#include <atomic>
#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "service/hub/api/router.hpp"

namespace drovane::hub::http {

using Strand = boost::asio::strand<boost::asio::any_io_executor>;

// The protocol side that serves a connection, told on the strand to shut down gracefully while
// it owes the client a reply, and asked during a drain whether the client holds it up.
class ShutdownHook {
  public:
    virtual void graceful_shutdown() = 0;
    // Whether the connection waits on the client for the rest of a request it has begun (a head
    // or a body), as opposed to computing or sending a reply.
    virtual bool receiving_request() const = 0;
    // The client has sent nothing for kStallTime while receiving_request() during a drain: ends
    // what it holds up (the connection, or for HTTP/2 the streams still being received when
    // others have replies to finish).
    virtual void end_stalled() = 0;
    // The connection has just ended, on whatever path: wakes everything that waits on it, so
    // that no task of the connection outlives it but one whose Core operation still runs.
    virtual void connection_ended() = 0;

  protected:
    ~ShutdownHook() = default;
};

// Where a connection stands, which decides what a graceful shutdown does to it.
enum class Stage {
    // No reply is owed: before or between requests, or while the unread body of a request whose
    // reply is complete is skipped. Shutdown closes the connection at once.
    waiting,
    // A reply is owed (an HTTP/1.1 request in progress, or an HTTP/2 session with work left).
    // Shutdown lets the protocol side finish it.
    serving,
    // The last reply is complete and the sending side is shut down; whatever still arrives is
    // dropped, bounded in size and time. Shutdown closes the connection at once.
    lingering,
    // The socket is closed.
    ended,
};

// Adds `delta` to a count for as long as it lives.
class CountedScope {
  public:
    CountedScope(std::atomic<int>& count, int delta) : count_(count), delta_(delta) {
        count_ += delta_;
    }
    CountedScope(const CountedScope&) = delete;
    CountedScope& operator=(const CountedScope&) = delete;
    ~CountedScope() { count_ -= delta_; }

  private:
    std::atomic<int>& count_;
    const int delta_;
};

// One accepted connection. Everything but request_shutdown() is used on `strand` only. The
// connection task has ended when the last owner lets go of this object.
class Connection : public std::enable_shared_from_this<Connection> {
  public:
    // The router is shared by every connection of a set and kept by each for as long as it
    // lives; `routing` counts the set's requests that the router is working on (see route()).
    Connection(boost::asio::ip::tcp::socket socket, Strand strand,
               std::shared_ptr<const RequestRouter> router,
               std::shared_ptr<std::atomic<int>> routing, std::function<void()> on_end)
        : socket(std::move(socket)),
          strand(std::move(strand)),
          router_(std::move(router)),
          routing_(std::move(routing)),
          on_end_(std::move(on_end)) {}
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection() {
        end();
        if (on_end_) {
            on_end_();
        }
    }

    // Thread-safe: asks the connection, on its strand, to shut down gracefully.
    void request_shutdown();
    // Thread-safe: ends the connection on its strand, whatever it is doing.
    void request_end();

    // Whether graceful shutdown has been asked for: no new request is taken, and a reply
    // written from then on closes the connection.
    bool draining() const { return draining_; }

    Stage stage() const { return stage_; }
    // Moves between waiting and serving; a lingering or ended connection stays as it is. A
    // protocol side that becomes waiting checks draining() before it reads again.
    void set_stage(Stage stage);

    // After the last reply: shuts down the sending side and bounds what is still read in time.
    // False when the socket could not be shut down (the connection has then ended).
    bool begin_lingering();
    // The one way a connection ends, whatever ends it: cancels whatever is pending on the socket,
    // closes it and tells the protocol side, once; later calls do nothing.
    void end();

    // The protocol serving the connection, once the first bytes have chosen it.
    void set_hook(ShutdownHook* hook) { hook_ = hook; }

    // Bytes have come from the client, or the protocol side has begun to wait on it: while
    // draining, the time the client may stay silent counts from here.
    void note_received() {
        if (draining_) {
            last_received_ = std::chrono::steady_clock::now();
        }
    }

    // Routes `request`. It counts in `routing` while the router works on it, but not while a
    // body read waits on the client (see waiting_on_client()): what is left is the router's own
    // work, a Core operation most of the time, which a stop lets finish.
    boost::asio::awaitable<Reply> route(Request& request);
    // Held by a body read while it waits on the client.
    CountedScope waiting_on_client() { return CountedScope(*routing_, -1); }

    boost::asio::ip::tcp::socket socket;
    const Strand strand;

  private:
    // Ends the pending read, after which the protocol side closes the connection.
    void cancel_reads();
    // While draining: waits until the client has been silent for kStallTime, then ends what it
    // holds up if the connection is still receiving a request from it.
    void watch_stall(std::chrono::steady_clock::time_point at);
    void check_stall();

    Stage stage_ = Stage::waiting;
    bool draining_ = false;
    ShutdownHook* hook_ = nullptr;
    const std::shared_ptr<const RequestRouter> router_;
    const std::shared_ptr<std::atomic<int>> routing_;
    boost::asio::steady_timer linger_deadline_{strand};
    boost::asio::steady_timer stall_deadline_{strand};
    std::chrono::steady_clock::time_point last_received_;
    std::function<void()> on_end_;
};

// Ends a connection after a reply that closes it: the sending side is shut down, then whatever
// the client still sends (an unread body, say) is read and dropped until it closes, up to a
// bound, so that the reply is not lost to a reset caused by unread data.
boost::asio::awaitable<void> close_gracefully(Connection& connection);

// Lingering reads after the reply stop after this much, or after this long, and the socket is
// closed.
inline constexpr std::size_t kLingerLimit = 256 * 1024;
inline constexpr std::chrono::seconds kLingerTime{2};

// Once draining, a connection still receiving a request whose client sends nothing for this long
// is ended: a request the client has stopped sending would never finish, and the stop waits for
// every connection. Replies being computed or sent are not limited by it.
inline constexpr std::chrono::seconds kStallTime{2};
// While a draining connection computes or sends a reply, how often it looks again whether it
// waits on the client.
inline constexpr std::chrono::milliseconds kStallRecheck{250};

// The largest request head: Beast's parser limit on the HTTP/1.1 side, and the header list size
// that HTTP/2 announces and enforces (RFC 9113 6.5.2: name, value and 32 bytes a field).
inline constexpr std::size_t kHeaderLimit = 8192;
// Concurrent request streams an HTTP/2 connection takes; with the header and body limits it
// bounds what one connection holds, whatever the client sends.
inline constexpr std::uint32_t kMaxConcurrentStreams = 100;

}  // namespace drovane::hub::http
