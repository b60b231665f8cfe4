// The set of live connections: each admitted connection runs on a strand of its own, chooses
// HTTP/1.1 or HTTP/2 by its first bytes, and leaves the set when its last task lets go of it.
// Draining asks every connection to shut down gracefully and waits until the set is empty.
#include "service/hub/http/http_server.hpp"

#include <algorithm>
#include <array>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/experimental/concurrent_channel.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "service/hub/http/http1.hpp"
#include "service/hub/http/http2.hpp"
#include "service/hub/http/http_connection.hpp"

namespace drovane::hub {

namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

// The client connection preface that opens every HTTP/2 connection (RFC 9113 3.4).
constexpr std::string_view kHttp2Preface = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";

// Reads until the first bytes either match the HTTP/2 preface or differ from it, then hands
// everything read so far to the chosen protocol.
asio::awaitable<void> run_connection(std::shared_ptr<http::Connection> connection) {
    try {
        std::string received;
        std::array<char, 4096> chunk;
        for (;;) {
            boost::system::error_code ec;
            const std::size_t n = co_await connection->socket.async_read_some(
                asio::buffer(chunk), asio::redirect_error(asio::use_awaitable, ec));
            if (ec) {
                co_return;  // closed by the client, or idle at shutdown
            }
            received.append(chunk.data(), n);
            const std::size_t compared = std::min(received.size(), kHttp2Preface.size());
            if (std::string_view(received).substr(0, compared) !=
                kHttp2Preface.substr(0, compared)) {
                co_await http::serve_http1(std::move(connection), std::move(received));
                co_return;
            }
            if (received.size() >= kHttp2Preface.size()) {
                co_await http::serve_http2(std::move(connection), std::move(received));
                co_return;
            }
        }
    } catch (...) {
        // A failure inside the connection (out of memory, say) ends only this connection.
    }
}

using DrainChannel = asio::experimental::concurrent_channel<void(boost::system::error_code)>;

}  // namespace

struct ConnectionSet::State : std::enable_shared_from_this<ConnectionSet::State> {
    State(asio::any_io_executor executor, std::shared_ptr<const RequestRouter> router,
          HelperLogList& log)
        : executor(executor), router(std::move(router)), log(log), drained(executor, 1) {}

    void remove(std::uint64_t id) {
        bool last = false;
        {
            std::lock_guard<std::mutex> lock(mutex);
            live.erase(id);
            last = draining && live.empty();
        }
        if (last) {
            drained.try_send(boost::system::error_code());
        }
    }

    // The connections still open.
    std::vector<std::shared_ptr<http::Connection>> open() {
        std::vector<std::shared_ptr<http::Connection>> found;
        std::lock_guard<std::mutex> lock(mutex);
        for (const auto& entry : live) {
            if (std::shared_ptr<http::Connection> connection = entry.second.lock()) {
                found.push_back(std::move(connection));
            }
        }
        return found;
    }

    std::size_t live_count() {
        std::lock_guard<std::mutex> lock(mutex);
        return live.size();
    }

    asio::any_io_executor executor;
    const std::shared_ptr<const RequestRouter> router;
    // The requests the router is working on, other than waiting for a body (see
    // Connection::route).
    const std::shared_ptr<std::atomic<int>> routing = std::make_shared<std::atomic<int>>(0);
    HelperLogList& log;
    std::mutex mutex;
    bool draining = false;
    std::uint64_t next_id = 0;
    std::map<std::uint64_t, std::weak_ptr<http::Connection>> live;
    DrainChannel drained;  // receives once the last connection has ended during a drain
};

ConnectionSet::ConnectionSet(asio::any_io_executor executor,
                             std::shared_ptr<const RequestRouter> router, HelperLogList& log)
    : state_(std::make_shared<State>(std::move(executor), std::move(router), log)) {}

ConnectionSet::~ConnectionSet() = default;

void ConnectionSet::serve(tcp::socket socket) {
    std::shared_ptr<http::Connection> connection;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (state_->draining) {
            boost::system::error_code ignored;
            socket.close(ignored);
            return;
        }
        const std::uint64_t id = state_->next_id++;
        // The connection keeps the set's state alive, so it can always leave it.
        std::shared_ptr<State> state = state_;
        connection = std::make_shared<http::Connection>(
            std::move(socket), asio::make_strand(state_->executor), state_->router, state_->routing,
            [state, id] { state->remove(id); });
        state_->live.emplace(id, connection);
    }
    const http::Strand strand = connection->strand;
    asio::co_spawn(strand, run_connection(std::move(connection)), asio::detached);
}

asio::awaitable<void> ConnectionSet::drain() {
    bool empty = false;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->draining = true;
        empty = state_->live.empty();
    }
    if (empty) {
        co_return;
    }
    std::vector<std::shared_ptr<http::Connection>> open = state_->open();
    for (const std::shared_ptr<http::Connection>& connection : open) {
        connection->request_shutdown();
    }
    open.clear();

    using namespace asio::experimental::awaitable_operators;
    asio::steady_timer deadline(co_await asio::this_coro::executor, kDrainTime);
    const auto first =
        co_await (state_->drained.async_receive(asio::as_tuple(asio::use_awaitable)) ||
                  deadline.async_wait(asio::as_tuple(asio::use_awaitable)));
    if (first.index() == 0) {
        co_return;
    }
    open = state_->open();
    for (const std::shared_ptr<http::Connection>& connection : open) {
        connection->request_end();
    }
    state_->log.append("Helper ended " + std::to_string(open.size()) +
                       (open.size() == 1 ? " connection" : " connections") + " still open " +
                       std::to_string(kDrainTime.count()) + " s after the stop began");
    open.clear();
    // Each ends once what it is doing returns: a read or write at once, a Core operation in
    // flight when the operation does, which the Core's own bounds limit. Once no request has
    // been routed for kLeaveGrace, whatever task is still alive waits on nothing the service
    // can end, and does not keep it from stopping: it holds the router and this state, so it
    // outlives the drain safely until the runtime is torn down.
    asio::steady_timer poll(co_await asio::this_coro::executor);
    std::optional<std::chrono::steady_clock::time_point> idle_since;
    for (;;) {
        const std::size_t left = state_->live_count();
        if (left == 0) {
            co_return;
        }
        const auto now = std::chrono::steady_clock::now();
        if (state_->routing->load() != 0) {
            idle_since.reset();
        } else if (!idle_since) {
            idle_since = now;
        } else if (now - *idle_since >= kLeaveGrace) {
            state_->log.append("Helper left " + std::to_string(left) +
                               (left == 1 ? " connection" : " connections") +
                               " behind, not ended after the stop's deadline with no Core "
                               "operation running");
            co_return;
        }
        poll.expires_after(std::chrono::milliseconds(50));
        boost::system::error_code ignored;
        co_await poll.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    }
}

}  // namespace drovane::hub
