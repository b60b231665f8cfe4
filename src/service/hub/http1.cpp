// HTTP/1.1 (and 1.0) on one connection: requests one after another, the header first, the body
// only when the router asks for it, and each reply in one gathered write.
#include <array>
#include <boost/asio/buffer.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/status.hpp>
#include <boost/beast/http/string_body.hpp>
#include <exception>
#include <optional>
#include <string>

#include "ascii.hpp"
#include "service/hub/http_connection.hpp"

namespace drovane::hub::http {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;

constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";

// Framing headers are the server's own; a reply's copies of them are not written.
bool is_framing_header(std::string_view name) {
    return ascii_iequals(name, "connection") || ascii_iequals(name, "content-length") ||
           ascii_iequals(name, "transfer-encoding") || ascii_iequals(name, "keep-alive");
}

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        c = ascii_lower(c);
    }
    return out;
}

// The status line, the reply's headers and the framing, ending with the empty line.
std::string reply_head(const Reply& reply, bool keep_alive, bool http10) {
    std::string head = "HTTP/1.1 " + std::to_string(reply.status) + " ";
    const bhttp::status status = bhttp::int_to_status(reply.status);
    if (status != bhttp::status::unknown) {
        head += bhttp::obsolete_reason(status);
    }
    head += "\r\n";
    for (const Header& header : reply.headers) {
        if (is_framing_header(header.name)) {
            continue;
        }
        head += lower(header.name);
        head += ": ";
        head += header.value;
        head += "\r\n";
    }
    head += "content-length: " + std::to_string(reply.body.size()) + "\r\n";
    if (!keep_alive) {
        head += "connection: close\r\n";
    } else if (http10) {
        head += "connection: keep-alive\r\n";
    }
    head += "\r\n";
    return head;
}

bool is_message_error(const boost::system::error_code& ec) {
    return ec.category() == bhttp::make_error_code(bhttp::error::bad_method).category();
}

class Http1Server final : public ShutdownHook, public BodySource {
  public:
    Http1Server(std::shared_ptr<Connection> connection, std::string received)
        : connection_(std::move(connection)) {
        const std::size_t n =
            asio::buffer_copy(buffer_.prepare(received.size()), asio::buffer(received));
        buffer_.commit(n);
        connection_->hook = this;
    }
    Http1Server(const Http1Server&) = delete;
    Http1Server& operator=(const Http1Server&) = delete;
    ~Http1Server() { connection_->hook = nullptr; }

    asio::awaitable<void> run();

    // Between requests (and while lingering after the last reply) the connection is idle and
    // closes at once; a request in progress goes on, and its reply switches keep-alive off.
    void graceful_shutdown() override {
        if (phase_ != Phase::busy) {
            boost::system::error_code ignored;
            connection_->socket.cancel(ignored);
        }
    }

    asio::awaitable<Result<std::string>> read_body() override;

  private:
    enum class Phase { idle, busy, lingering };

    asio::awaitable<bool> write(std::string head, std::string_view body);
    asio::awaitable<void> refuse_message(const boost::system::error_code& ec);

    std::shared_ptr<Connection> connection_;
    beast::flat_buffer buffer_;
    std::optional<bhttp::request_parser<bhttp::string_body>> parser_;
    Phase phase_ = Phase::idle;
    bool expects_continue_ = false;
    bool continue_sent_ = false;
    bool body_failed_ = false;
};

asio::awaitable<bool> Http1Server::write(std::string head, std::string_view body) {
    // Header and body leave in one gathered write: the Helper sets no TCP no-delay, so a
    // second small write would wait for the client's delayed acknowledgement.
    const std::array<asio::const_buffer, 2> buffers = {asio::buffer(head), asio::buffer(body)};
    boost::system::error_code ec;
    co_await asio::async_write(connection_->socket, buffers,
                               asio::redirect_error(asio::use_awaitable, ec));
    co_return !ec;
}

asio::awaitable<void> Http1Server::refuse_message(const boost::system::error_code& ec) {
    // The client closed, or broke off in the middle of a header: nothing to answer.
    if (ec == bhttp::error::end_of_stream || ec == bhttp::error::partial_message ||
        ec == bhttp::error::short_read || !is_message_error(ec)) {
        co_return;
    }
    // A message that cannot be parsed cannot reach the router; the HTTP layer answers it and
    // closes, since the framing of whatever follows is unknown.
    Reply reply;
    reply.status = ec == bhttp::error::header_limit ? 431 : 400;
    if (co_await write(reply_head(reply, false, false), {})) {
        phase_ = Phase::lingering;
        co_await close_gracefully(*connection_);
    }
}

asio::awaitable<Result<std::string>> Http1Server::read_body() {
    if (!parser_ || parser_->is_done()) {
        co_return std::string();
    }
    boost::system::error_code ec;
    if (expects_continue_ && !continue_sent_) {
        continue_sent_ = true;
        const std::size_t ignored =
            co_await asio::async_write(connection_->socket, asio::buffer(kContinue),
                                       asio::redirect_error(asio::use_awaitable, ec));
        (void)ignored;
        if (ec) {
            body_failed_ = true;
            co_return Error(ec.message()).context("send 100 Continue");
        }
    }
    // The declared length has been checked by now; the limit also bounds a chunked body.
    parser_->body_limit(kBodyLimit);
    const std::size_t ignored = co_await bhttp::async_read(
        connection_->socket, buffer_, *parser_, asio::redirect_error(asio::use_awaitable, ec));
    (void)ignored;
    if (ec) {
        body_failed_ = true;
        co_return Error(ec.message()).context("read request body");
    }
    co_return std::move(parser_->get().body());
}

asio::awaitable<void> Http1Server::run() {
    for (;;) {
        if (connection_->draining) {
            co_return;  // shut down between two requests
        }
        parser_.emplace();
        // No limit at the header: a declared length above the body limit must reach the router,
        // which answers it 413 without reading the body.
        parser_->body_limit(boost::none);
        phase_ = Phase::idle;
        boost::system::error_code ec;
        const std::size_t ignored = co_await bhttp::async_read_header(
            connection_->socket, buffer_, *parser_, asio::redirect_error(asio::use_awaitable, ec));
        (void)ignored;
        phase_ = Phase::busy;
        if (ec) {
            co_await refuse_message(ec);
            co_return;
        }

        const auto& message = parser_->get();
        Request request;
        request.method = std::string(message.method_string());
        request.target = std::string(message.target());
        for (const auto& field : message) {
            request.headers.push_back(
                Header{std::string(field.name_string()), std::string(field.value())});
        }
        const bool http10 = message.version() == 10;
        const std::string* expect = request.header("expect");
        // HTTP/1.0 clients know no interim replies; they never get "100 Continue".
        expects_continue_ = !http10 && expect != nullptr && ascii_iequals(*expect, "100-continue");
        continue_sent_ = false;
        body_failed_ = false;
        request.body = parser_->is_done() ? nullptr : this;

        Reply reply = co_await connection_->router.route_request(request);

        const bool body_unread = !parser_->is_done();
        bool keep_alive = message.keep_alive() && !reply.closes_connection() &&
                          !connection_->draining && !body_failed_;
        if (keep_alive && body_unread) {
            // The router answered without reading the body. The connection stays usable only
            // if the body can be skipped safely: its length is declared and within the body
            // limit (so skipping costs at most that much), and the client is sending it anyway
            // (no "100-continue" that went unanswered, after which the client may or may not
            // send it). A chunked or larger body closes the connection after the reply instead.
            const boost::optional<std::uint64_t> length = parser_->content_length();
            keep_alive = !expects_continue_ && length && *length <= kBodyLimit;
        }
        const bool head_only = message.method() == bhttp::verb::head;
        if (!co_await write(reply_head(reply, keep_alive, http10),
                            head_only ? std::string_view() : std::string_view(reply.body))) {
            co_return;
        }
        if (!keep_alive) {
            phase_ = Phase::lingering;
            co_await close_gracefully(*connection_);
            co_return;
        }
        if (body_unread) {
            parser_->body_limit(kBodyLimit);
            const std::size_t skipped =
                co_await bhttp::async_read(connection_->socket, buffer_, *parser_,
                                           asio::redirect_error(asio::use_awaitable, ec));
            (void)skipped;
            if (ec) {
                co_return;
            }
        }
    }
}

}  // namespace

asio::awaitable<void> serve_http1(std::shared_ptr<Connection> connection, std::string received) {
    Http1Server server(std::move(connection), std::move(received));
    co_await server.run();
}

}  // namespace drovane::hub::http
