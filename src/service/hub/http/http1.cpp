// HTTP/1.1 (and 1.0) on one connection: requests one after another, the header first, the body
// only when the router asks for it, and each reply written by Beast's serializer in one gathered
// write.
#include <array>
#include <boost/asio/buffer.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>
#include <optional>
#include <string>

#include "ascii.hpp"
#include "service/hub/api/router_rules.hpp"
#include "service/hub/api/wire.hpp"
#include "service/hub/http/http1.hpp"
#include "service/hub/http/http_connection.hpp"

namespace drovane::hub::http {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;

using Response = bhttp::response<bhttp::string_body>;

constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";

// Framing headers are the server's own; a reply's copies of them are not written.
bool is_framing_header(std::string_view name) {
    return ascii_iequals(name, "connection") || ascii_iequals(name, "content-length") ||
           ascii_iequals(name, "transfer-encoding") || ascii_iequals(name, "keep-alive");
}

// The reply as an HTTP/1.1 response: the reply's headers in lower case, then the framing. A reply
// to HEAD declares the length of the body it does not carry.
Response make_response(Reply reply, bool keep_alive, bool http10, bool head_only) {
    Response response;
    response.version(11);
    response.result(reply.status);
    for (const Header& header : reply.headers) {
        if (!is_framing_header(header.name)) {
            response.insert(ascii_lowered(header.name), header.value);
        }
    }
    // Names given as text keep their spelling on the wire; the field enumerators would not.
    response.insert("content-length", std::to_string(reply.body.size()));
    if (!keep_alive) {
        response.insert("connection", "close");
    } else if (http10) {
        response.insert("connection", "keep-alive");
    }
    if (!head_only) {
        response.body() = std::move(reply.body);
    }
    return response;
}

// Whether a failed header read is a request that Beast refused, which gets a reply; the client
// closing, or breaking off in the middle of a header, leaves nothing to answer.
bool is_refused_message(const boost::system::error_code& ec) {
    return ec.category() == bhttp::make_error_code(bhttp::error::bad_method).category() &&
           ec != bhttp::error::end_of_stream && ec != bhttp::error::partial_message &&
           ec != bhttp::error::short_read;
}

// The reply to a request head that Beast refuses, which never reaches the router: the framing of
// whatever follows it is unknown, so the connection closes after it.
Reply refusal_reply(const boost::system::error_code& ec, bool chunked) {
    if (ec == bhttp::error::bad_content_length && !chunked) {
        // Not an unsigned decimal integer: the router's reply for a length it cannot read.
        return reply_for_rejection(Rejection(RejectionKind::LengthRequired));
    }
    if (ec == bhttp::error::header_limit) {
        return error_reply(431, "invalidRequest", "invalid request header");
    }
    // A header value or name refused, a broken request line, a Content-Length beside a
    // Transfer-Encoding or two different lengths: the request head cannot be read.
    return reply_for_rejection(Rejection(RejectionKind::InvalidHeader));
}

class Http1Server final : public BodySource, public ShutdownHook {
  public:
    Http1Server(std::shared_ptr<Connection> connection, std::string received)
        : connection_(std::move(connection)) {
        const std::size_t n =
            asio::buffer_copy(buffer_.prepare(received.size()), asio::buffer(received));
        buffer_.commit(n);
        connection_->set_hook(this);
    }
    Http1Server(const Http1Server&) = delete;
    Http1Server& operator=(const Http1Server&) = delete;
    ~Http1Server() { connection_->set_hook(nullptr); }

    asio::awaitable<void> run();

    asio::awaitable<Result<std::string>> read_body() override;

    // A request in progress needs no word: its reply sees draining() and closes.
    void graceful_shutdown() override {}
    // A request head is read only while waiting, which a drain ends at once; the body is read
    // for the router.
    bool receiving_request() const override { return reading_body_; }
    // The socket is closed: the body read fails, the router answers without a Core operation,
    // and that reply goes nowhere.
    void end_stalled() override { connection_->end(); }
    // The only wait is a read or write on the socket, which its close has already ended.
    void connection_ended() override {}

  private:
    // No temporary of class type lives across a suspension: GCC 12 may destroy such a
    // temporary in a co_await expression twice, so replies are named locals passed by reference.
    asio::awaitable<bool> write(Response& response);
    // Answers a request head that cannot be read and closes the connection.
    asio::awaitable<void> refuse_message(const boost::system::error_code& ec);

    std::shared_ptr<Connection> connection_;
    beast::flat_buffer buffer_;
    std::optional<bhttp::request_parser<bhttp::string_body>> parser_;
    bool expects_continue_ = false;
    bool continue_sent_ = false;
    bool body_failed_ = false;
    bool reading_body_ = false;
};

asio::awaitable<bool> Http1Server::write(Response& response) {
    // The serializer hands the header and the body to one gathered write: the Helper sets no TCP
    // no-delay, so a second small write would wait for the client's delayed acknowledgement.
    boost::system::error_code ec;
    const std::size_t ignored = co_await bhttp::async_write(
        connection_->socket, response, asio::redirect_error(asio::use_awaitable, ec));
    (void)ignored;
    co_return !ec;
}

asio::awaitable<void> Http1Server::refuse_message(const boost::system::error_code& ec) {
    Response response = make_response(refusal_reply(ec, parser_->chunked()), false, false, false);
    if (co_await write(response)) {
        co_await close_gracefully(*connection_);
    }
}

asio::awaitable<Result<std::string>> Http1Server::read_body() {
    if (!parser_ || parser_->is_done()) {
        co_return std::string();
    }
    const CountedScope waiting = connection_->waiting_on_client();
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
    // Read piece by piece, so that a draining connection knows when the client last sent.
    reading_body_ = true;
    connection_->note_received();
    while (!parser_->is_done()) {
        const std::size_t ignored = co_await bhttp::async_read_some(
            connection_->socket, buffer_, *parser_, asio::redirect_error(asio::use_awaitable, ec));
        (void)ignored;
        if (ec) {
            break;
        }
        connection_->note_received();
    }
    reading_body_ = false;
    if (ec) {
        body_failed_ = true;
        co_return Error(ec.message()).context("read request body");
    }
    co_return std::move(parser_->get().body());
}

asio::awaitable<void> Http1Server::run() {
    for (;;) {
        connection_->set_stage(Stage::waiting);
        if (connection_->draining()) {
            co_return;  // shut down between two requests
        }
        parser_.emplace();
        parser_->header_limit(static_cast<std::uint32_t>(kHeaderLimit));
        // No limit at the header: a declared length above the body limit must reach the router,
        // which answers it 413 without reading the body.
        parser_->body_limit(boost::none);
        boost::system::error_code ec;
        const std::size_t ignored = co_await bhttp::async_read_header(
            connection_->socket, buffer_, *parser_, asio::redirect_error(asio::use_awaitable, ec));
        (void)ignored;
        connection_->set_stage(Stage::serving);
        if (ec) {
            if (is_refused_message(ec)) {
                co_await refuse_message(ec);
            }
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

        Reply reply = co_await connection_->route(request);

        const bool body_unread = !parser_->is_done();
        bool keep_alive = message.keep_alive() && !reply.closes_connection() &&
                          !connection_->draining() && !body_failed_;
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
        Response response = make_response(std::move(reply), keep_alive, http10, head_only);
        if (!co_await write(response)) {
            co_return;
        }
        if (!keep_alive) {
            co_await close_gracefully(*connection_);
            co_return;
        }
        if (body_unread) {
            // The reply is complete: a client that declared a body and never sends it holds
            // nothing but its own connection, and a shutdown closes it at once.
            connection_->set_stage(Stage::waiting);
            if (connection_->draining()) {
                co_return;
            }
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
