// Cleartext HTTP/2 on one connection, with an nghttp2 server session fed from the socket. Each
// request becomes a task of its own once its header block has arrived; all output that nghttp2
// has pending goes out in one write.
#include <nghttp2/nghttp2.h>

#include <array>
#include <boost/asio/buffer.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <cstring>
#include <exception>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "ascii.hpp"
#include "service/hub/http_connection.hpp"

namespace drovane::hub::http {
namespace {

namespace asio = boost::asio;

class Http2Server;

// One request stream: the request as received, its body (at most the body limit is kept), and
// the reply while nghttp2 sends it.
struct Stream final : BodySource {
    Stream(Http2Server& server, std::int32_t id, const Strand& strand)
        : server(server), id(id), body_ready(strand) {
        body_ready.expires_at(asio::steady_timer::time_point::max());
    }

    asio::awaitable<Result<std::string>> read_body() override;

    void wake() { body_ready.cancel(); }

    Http2Server& server;
    const std::int32_t id;
    Request request;
    std::string authority;
    std::string body;
    bool body_overflow = false;
    bool end_stream = false;  // the client has sent all of the request
    bool closed = false;      // the stream is gone (answered, reset, or the connection ended)
    bool continue_sent = false;
    asio::steady_timer body_ready;  // cancelled whenever body, end or close arrive
    Reply reply;
    std::size_t reply_sent = 0;
};

// Connection-specific headers are not allowed in HTTP/2 (RFC 9113 8.2.2); content-length is
// the server's own framing.
bool is_dropped_header(std::string_view name) {
    return ascii_iequals(name, "connection") || ascii_iequals(name, "keep-alive") ||
           ascii_iequals(name, "proxy-connection") || ascii_iequals(name, "transfer-encoding") ||
           ascii_iequals(name, "upgrade") || ascii_iequals(name, "content-length");
}

nghttp2_nv make_nv(const std::string& name, const std::string& value) {
    nghttp2_nv nv;
    nv.name = reinterpret_cast<std::uint8_t*>(const_cast<char*>(name.data()));
    nv.value = reinterpret_cast<std::uint8_t*>(const_cast<char*>(value.data()));
    nv.namelen = name.size();
    nv.valuelen = value.size();
    nv.flags = NGHTTP2_NV_FLAG_NONE;
    return nv;
}

class Http2Server final : public ShutdownHook, public std::enable_shared_from_this<Http2Server> {
  public:
    explicit Http2Server(std::shared_ptr<Connection> connection)
        : connection_(std::move(connection)) {
        nghttp2_session_callbacks* callbacks = nullptr;
        if (nghttp2_session_callbacks_new(&callbacks) != 0) {
            return;
        }
        nghttp2_session_callbacks_set_on_begin_headers_callback(callbacks, &on_begin_headers);
        nghttp2_session_callbacks_set_on_header_callback(callbacks, &on_header);
        nghttp2_session_callbacks_set_on_frame_recv_callback(callbacks, &on_frame_recv);
        nghttp2_session_callbacks_set_on_data_chunk_recv_callback(callbacks, &on_data_chunk_recv);
        nghttp2_session_callbacks_set_on_stream_close_callback(callbacks, &on_stream_close);
        nghttp2_session_callbacks_set_on_frame_send_callback(callbacks, &on_frame_send);
        if (nghttp2_session_server_new(&session_, callbacks, this) != 0) {
            session_ = nullptr;
        }
        nghttp2_session_callbacks_del(callbacks);
        connection_->hook = this;
    }
    Http2Server(const Http2Server&) = delete;
    Http2Server& operator=(const Http2Server&) = delete;
    ~Http2Server() {
        connection_->hook = nullptr;
        if (session_ != nullptr) {
            nghttp2_session_del(session_);
        }
    }

    asio::awaitable<void> run(std::string received);

    // Announces that no new stream is taken (GOAWAY with the last stream already being
    // processed); open streams finish, then the connection ends.
    void graceful_shutdown() override {
        start_goaway();
        if (send_closed_) {
            boost::system::error_code ignored;
            connection_->socket.cancel(ignored);  // lingering only: close at once
        }
    }

    void send_continue(std::int32_t stream_id) {
        static const std::string status_name = ":status";
        static const std::string status_value = "100";
        const nghttp2_nv nv = make_nv(status_name, status_value);
        nghttp2_submit_headers(session_, NGHTTP2_FLAG_NONE, stream_id, nullptr, &nv, 1, nullptr);
        schedule_flush();
    }

  private:
    static Http2Server& self(void* user_data) { return *static_cast<Http2Server*>(user_data); }

    Stream* find(std::int32_t id) {
        const auto it = streams_.find(id);
        return it == streams_.end() ? nullptr : it->second.get();
    }

    static int on_begin_headers(nghttp2_session*, const nghttp2_frame* frame, void* user_data) {
        if (frame->hd.type == NGHTTP2_HEADERS && frame->headers.cat == NGHTTP2_HCAT_REQUEST) {
            Http2Server& server = self(user_data);
            server.streams_[frame->hd.stream_id] =
                std::make_shared<Stream>(server, frame->hd.stream_id, server.connection_->strand);
        }
        return 0;
    }

    static int on_header(nghttp2_session*, const nghttp2_frame* frame, const std::uint8_t* name,
                         std::size_t namelen, const std::uint8_t* value, std::size_t valuelen,
                         std::uint8_t, void* user_data) {
        if (frame->hd.type != NGHTTP2_HEADERS || frame->headers.cat != NGHTTP2_HCAT_REQUEST) {
            return 0;  // trailers are not looked at
        }
        Stream* stream = self(user_data).find(frame->hd.stream_id);
        if (stream == nullptr) {
            return 0;
        }
        const std::string_view n(reinterpret_cast<const char*>(name), namelen);
        std::string v(reinterpret_cast<const char*>(value), valuelen);
        if (n == ":method") {
            stream->request.method = std::move(v);
        } else if (n == ":path") {
            stream->request.target = std::move(v);
        } else if (n == ":authority") {
            stream->authority = std::move(v);
        } else if (!n.empty() && n.front() != ':') {
            stream->request.headers.push_back(Header{std::string(n), std::move(v)});
        }
        return 0;
    }

    static int on_frame_recv(nghttp2_session*, const nghttp2_frame* frame, void* user_data) {
        Http2Server& server = self(user_data);
        if (frame->hd.type != NGHTTP2_HEADERS && frame->hd.type != NGHTTP2_DATA) {
            return 0;
        }
        const std::shared_ptr<Stream>* found = nullptr;
        if (const auto it = server.streams_.find(frame->hd.stream_id);
            it != server.streams_.end()) {
            found = &it->second;
        }
        if (found == nullptr) {
            return 0;
        }
        const std::shared_ptr<Stream>& stream = *found;
        if ((frame->hd.flags & NGHTTP2_FLAG_END_STREAM) != 0) {
            stream->end_stream = true;
            stream->wake();
        }
        if (frame->hd.type == NGHTTP2_HEADERS && frame->headers.cat == NGHTTP2_HCAT_REQUEST) {
            server.dispatch(stream);
        }
        return 0;
    }

    static int on_data_chunk_recv(nghttp2_session*, std::uint8_t, std::int32_t stream_id,
                                  const std::uint8_t* data, std::size_t len, void* user_data) {
        Stream* stream = self(user_data).find(stream_id);
        if (stream == nullptr) {
            return 0;
        }
        // Only as much as the body limit is kept; a stream that sends more (without a declared
        // length, which nghttp2 holds the data to) is answered by the router without its body.
        if (!stream->body_overflow && stream->body.size() + len <= kBodyLimit) {
            stream->body.append(reinterpret_cast<const char*>(data), len);
        } else {
            stream->body_overflow = true;
            stream->body.clear();
        }
        stream->wake();
        return 0;
    }

    static int on_stream_close(nghttp2_session*, std::int32_t stream_id, std::uint32_t,
                               void* user_data) {
        Http2Server& server = self(user_data);
        const auto it = server.streams_.find(stream_id);
        if (it != server.streams_.end()) {
            it->second->closed = true;
            it->second->wake();
            server.streams_.erase(it);
        }
        return 0;
    }

    static int on_frame_send(nghttp2_session* session, const nghttp2_frame* frame,
                             void* user_data) {
        // The reply is complete but the client is still sending its request (a body the
        // router did not need): ask it to stop, without error (RFC 9113 8.1).
        if ((frame->hd.type == NGHTTP2_HEADERS || frame->hd.type == NGHTTP2_DATA) &&
            (frame->hd.flags & NGHTTP2_FLAG_END_STREAM) != 0) {
            Stream* stream = self(user_data).find(frame->hd.stream_id);
            if (stream != nullptr && !stream->end_stream) {
                nghttp2_submit_rst_stream(session, NGHTTP2_FLAG_NONE, frame->hd.stream_id,
                                          NGHTTP2_NO_ERROR);
            }
        }
        return 0;
    }

    static ssize_t read_reply(nghttp2_session*, std::int32_t, std::uint8_t* buf, std::size_t length,
                              std::uint32_t* data_flags, nghttp2_data_source* source, void*) {
        Stream& stream = *static_cast<Stream*>(source->ptr);
        const std::size_t n = std::min(length, stream.reply.body.size() - stream.reply_sent);
        if (n > 0) {
            std::memcpy(buf, stream.reply.body.data() + stream.reply_sent, n);
        }
        stream.reply_sent += n;
        if (stream.reply_sent == stream.reply.body.size()) {
            *data_flags |= NGHTTP2_DATA_FLAG_EOF;
        }
        return static_cast<ssize_t>(n);
    }

    void dispatch(const std::shared_ptr<Stream>& stream) {
        Request& request = stream->request;
        // :authority stands for Host when the request has none (RFC 9113 8.3.1), so the
        // local-caller check sees the same name in both versions.
        if (!stream->authority.empty() && request.header("host") == nullptr) {
            request.headers.push_back(Header{"host", stream->authority});
        }
        request.body = stream->end_stream ? nullptr : stream.get();
        asio::co_spawn(connection_->strand, handle(shared_from_this(), stream), asio::detached);
    }

    static asio::awaitable<void> handle(std::shared_ptr<Http2Server> server,
                                        std::shared_ptr<Stream> stream) {
        try {
            Reply reply = co_await server->connection_->router.route_request(stream->request);
            server->respond(*stream, std::move(reply));
        } catch (const std::exception&) {
            // Out of memory inside one request: that stream stays unanswered until the
            // connection ends; nothing else is affected.
        }
    }

    void respond(Stream& stream, Reply reply) {
        if (stream.closed || read_ended_ || session_ == nullptr) {
            return;  // reset by the client, or the connection has gone
        }
        const bool closes = reply.closes_connection();
        stream.reply = std::move(reply);
        stream.reply_sent = 0;
        std::vector<std::pair<std::string, std::string>> fields;
        fields.emplace_back(":status", std::to_string(stream.reply.status));
        for (const Header& header : stream.reply.headers) {
            if (is_dropped_header(header.name)) {
                continue;
            }
            std::string name = header.name;
            for (char& c : name) {
                c = ascii_lower(c);
            }
            fields.emplace_back(std::move(name), header.value);
        }
        fields.emplace_back("content-length", std::to_string(stream.reply.body.size()));
        std::vector<nghttp2_nv> nva;
        nva.reserve(fields.size());
        for (const auto& field : fields) {
            nva.push_back(make_nv(field.first, field.second));
        }
        // A reply to HEAD carries the length of the body it does not send.
        const bool with_body = !stream.reply.body.empty() && stream.request.method != "HEAD";
        nghttp2_data_provider provider;
        provider.source.ptr = &stream;
        provider.read_callback = &read_reply;
        nghttp2_submit_response(session_, stream.id, nva.data(), nva.size(),
                                with_body ? &provider : nullptr);
        if (closes) {
            start_goaway();
        }
        schedule_flush();
    }

    void start_goaway() {
        if (goaway_ || session_ == nullptr || read_ended_) {
            return;
        }
        goaway_ = true;
        nghttp2_submit_goaway(session_, NGHTTP2_FLAG_NONE,
                              nghttp2_session_get_last_proc_stream_id(session_), NGHTTP2_NO_ERROR,
                              nullptr, 0);
        schedule_flush();
    }

    // Feeds received bytes to the session; false once the session cannot go on.
    bool feed(const std::uint8_t* data, std::size_t size) {
        const ssize_t consumed = nghttp2_session_mem_recv(session_, data, size);
        if (consumed < 0) {
            return false;
        }
        schedule_flush();
        return true;
    }

    void schedule_flush() {
        if (writing_ || read_ended_) {
            return;
        }
        writing_ = true;
        asio::co_spawn(connection_->strand, write_pending(shared_from_this()), asio::detached);
    }

    static asio::awaitable<void> write_pending(std::shared_ptr<Http2Server> server) {
        std::string out;
        while (!server->read_ended_) {
            out.clear();
            for (;;) {
                const std::uint8_t* data = nullptr;
                const ssize_t n = nghttp2_session_mem_send(server->session_, &data);
                if (n <= 0) {
                    break;
                }
                out.append(reinterpret_cast<const char*>(data), static_cast<std::size_t>(n));
            }
            if (out.empty()) {
                break;
            }
            // Everything pending goes out in one write (no TCP no-delay is set).
            boost::system::error_code ec;
            co_await asio::async_write(server->connection_->socket, asio::buffer(out),
                                       asio::redirect_error(asio::use_awaitable, ec));
            if (ec) {
                server->end_connection();
                break;
            }
        }
        server->writing_ = false;
        server->check_finished();
    }

    // Once the session wants neither to read nor to write (GOAWAY exchanged and every stream
    // done), the sending side is shut down; the reader drops whatever still arrives until the
    // client closes.
    void check_finished() {
        if (writing_ || send_closed_ || read_ended_) {
            return;
        }
        if (nghttp2_session_want_read(session_) == 0 && nghttp2_session_want_write(session_) == 0) {
            send_closed_ = true;
            boost::system::error_code ignored;
            connection_->socket.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
            connection_->limit_linger();
        }
    }

    void end_connection() {
        if (read_ended_) {
            return;
        }
        read_ended_ = true;
        boost::system::error_code ignored;
        connection_->socket.close(ignored);
        for (auto& entry : streams_) {
            entry.second->closed = true;
            entry.second->wake();
        }
    }

    std::shared_ptr<Connection> connection_;
    nghttp2_session* session_ = nullptr;
    std::map<std::int32_t, std::shared_ptr<Stream>> streams_;
    bool writing_ = false;
    bool goaway_ = false;
    bool send_closed_ = false;
    bool read_ended_ = false;
};

asio::awaitable<Result<std::string>> Stream::read_body() {
    const std::string* expect = request.header("expect");
    if (expect != nullptr && ascii_iequals(*expect, "100-continue") && !end_stream && !closed &&
        !continue_sent && body.empty()) {
        continue_sent = true;
        server.send_continue(id);
    }
    while (!end_stream && !closed) {
        boost::system::error_code ignored;
        co_await body_ready.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    }
    if (!end_stream) {
        co_return Error("the request stream ended before its body");
    }
    if (body_overflow) {
        co_return Error("the request body exceeds " + std::to_string(kBodyLimit) + " bytes");
    }
    co_return std::move(body);
}

asio::awaitable<void> Http2Server::run(std::string received) {
    if (session_ == nullptr) {
        co_return;
    }
    // The server's connection preface: a SETTINGS frame with nghttp2's defaults.
    nghttp2_submit_settings(session_, NGHTTP2_FLAG_NONE, nullptr, 0);
    if (!feed(reinterpret_cast<const std::uint8_t*>(received.data()), received.size())) {
        end_connection();
        co_return;
    }
    std::array<std::uint8_t, 16384> chunk;
    std::size_t lingered = 0;
    for (;;) {
        boost::system::error_code ec;
        const std::size_t n = co_await connection_->socket.async_read_some(
            asio::buffer(chunk), asio::redirect_error(asio::use_awaitable, ec));
        if (ec || read_ended_) {
            break;
        }
        if (send_closed_) {
            lingered += n;
            if (lingered >= kLingerLimit) {
                break;
            }
            continue;
        }
        if (!feed(chunk.data(), n)) {
            break;
        }
    }
    end_connection();
}

}  // namespace

asio::awaitable<void> serve_http2(std::shared_ptr<Connection> connection, std::string received) {
    auto server = std::make_shared<Http2Server>(std::move(connection));
    co_await server->run(std::move(received));
}

}  // namespace drovane::hub::http
