#include "service/hub/http/http_connection.hpp"

#include <array>
#include <boost/asio/buffer.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace drovane::hub::http {

namespace asio = boost::asio;
using asio::ip::tcp;

void Connection::request_shutdown() {
    asio::post(strand, [self = shared_from_this()] {
        self->draining_ = true;
        self->last_received_ = std::chrono::steady_clock::now();
        if (self->stage_ != Stage::serving) {
            self->cancel_reads();  // nothing is owed to the client
        } else if (self->hook_ != nullptr) {
            self->hook_->graceful_shutdown();
        }
        // An HTTP/1.1 request in progress needs no word: its reply sees draining() and closes.
        if (self->stage_ != Stage::ended) {
            self->watch_stall(self->last_received_ + kStallTime);
        }
    });
}

asio::awaitable<Reply> Connection::route(Request& request) {
    const std::shared_ptr<const RequestRouter> router = router_;
    const CountedScope routing(*routing_, 1);
    Reply reply = co_await router->route_request(request);
    co_return reply;
}

void Connection::request_end() {
    asio::post(strand, [self = shared_from_this()] { self->end(); });
}

void Connection::watch_stall(std::chrono::steady_clock::time_point at) {
    stall_deadline_.expires_at(at);
    stall_deadline_.async_wait([weak = weak_from_this()](const boost::system::error_code& error) {
        if (error) {
            return;
        }
        if (std::shared_ptr<Connection> self = weak.lock()) {
            self->check_stall();
        }
    });
}

void Connection::check_stall() {
    if (stage_ == Stage::ended) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    const auto silent_until = last_received_ + kStallTime;
    if (now < silent_until) {
        watch_stall(silent_until);
        return;
    }
    if (stage_ == Stage::serving && hook_ != nullptr && hook_->receiving_request()) {
        hook_->end_stalled();
        if (stage_ == Stage::ended) {
            return;
        }
        // HTTP/2 ended only the stalled streams: the others get as long again.
        last_received_ = now;
        watch_stall(now + kStallTime);
        return;
    }
    // Computing or sending a reply, which the stall bound does not limit. Looked at again soon: a
    // wait on the client that begins in between notes its start, and counts from there.
    watch_stall(now + kStallRecheck);
}

void Connection::set_stage(Stage stage) {
    if (stage_ != Stage::lingering && stage_ != Stage::ended) {
        stage_ = stage;
    }
}

void Connection::cancel_reads() {
    // The pending read ends with an error, and the task that owns it closes the socket once
    // nothing is in flight on it, as it does on every other way out.
    boost::system::error_code ignored;
    socket.cancel(ignored);
}

bool Connection::begin_lingering() {
    if (stage_ == Stage::ended) {
        return false;
    }
    boost::system::error_code ec;
    socket.shutdown(tcp::socket::shutdown_send, ec);
    if (ec) {
        cancel_reads();
        return false;
    }
    stage_ = Stage::lingering;
    // A client that neither sends nor closes after the last reply must not keep the
    // connection, and with it a shutdown's drain, open forever.
    linger_deadline_.expires_after(kLingerTime);
    linger_deadline_.async_wait([weak = weak_from_this()](const boost::system::error_code& error) {
        if (error) {
            return;
        }
        if (std::shared_ptr<Connection> self = weak.lock()) {
            self->cancel_reads();
        }
    });
    return true;
}

void Connection::end() {
    if (stage_ == Stage::ended) {
        return;
    }
    stage_ = Stage::ended;
    // A read still pending is cancelled before the close (see cancel_reads). Shutting down
    // first ends the connection for the client even if a child process happens to hold a
    // duplicate of the socket.
    boost::system::error_code ignored;
    socket.cancel(ignored);
    socket.shutdown(tcp::socket::shutdown_both, ignored);
    socket.close(ignored);
    linger_deadline_.cancel();
    stall_deadline_.cancel();
    if (hook_ != nullptr) {
        hook_->connection_ended();
    }
}

asio::awaitable<void> close_gracefully(Connection& connection) {
    if (!connection.begin_lingering()) {
        co_return;
    }
    std::array<char, 4096> scratch;
    std::size_t dropped = 0;
    while (dropped < kLingerLimit) {
        boost::system::error_code ec;
        const std::size_t n = co_await connection.socket.async_read_some(
            asio::buffer(scratch), asio::redirect_error(asio::use_awaitable, ec));
        if (ec) {
            break;
        }
        dropped += n;
    }
    connection.end();
}

}  // namespace drovane::hub::http
