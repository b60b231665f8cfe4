// Cleartext HTTP/2 on one connection, with an nghttp2 server session fed from the socket. Nothing
// is submitted to the session from inside its own callbacks: requests whose header block arrives
// during a receive are handed to the router once the receive has returned, and the streams to
// reset after their reply during a send are reset once the send has returned. All output that
// nghttp2 has pending goes out in one write.
#include <nghttp2/nghttp2.h>

#include <array>
#include <atomic>
#include <boost/asio/buffer.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "ascii.hpp"
#include "service/hub/api/wire.hpp"
#include "service/hub/http/http2.hpp"
#include "service/hub/http/http_connection.hpp"

namespace drovane::hub::http {
namespace {

namespace asio = boost::asio;

// The flood bounds set on every session (see make_session).
constexpr std::size_t kMaxOutboundAcks = 1000;
constexpr std::size_t kMaxSettingsEntries = 32;
constexpr std::uint64_t kResetBurst = 1000;
constexpr std::uint64_t kResetsPerSecond = 33;
constexpr std::size_t kMaxContinuations = 8;

// The sessions' allocator: the C library's, with every live block counted.
std::atomic<std::size_t> session_blocks{0};

void* session_malloc(std::size_t size, void*) {
    void* block = std::malloc(size);
    if (block != nullptr) {
        ++session_blocks;
    }
    return block;
}

void session_free(void* block, void*) {
    if (block != nullptr) {
        --session_blocks;
        std::free(block);
    }
}

void* session_calloc(std::size_t count, std::size_t size, void*) {
    void* block = std::calloc(count, size);
    if (block != nullptr) {
        ++session_blocks;
    }
    return block;
}

void* session_realloc(void* block, std::size_t size, void*) {
    if (size == 0) {
        session_free(block, nullptr);  // what realloc to zero does is left to the C library
        return nullptr;
    }
    void* moved = std::realloc(block, size);
    if (block == nullptr && moved != nullptr) {
        ++session_blocks;
    }
    return moved;
}

nghttp2_mem session_mem = {nullptr, &session_malloc, &session_free, &session_calloc,
                           &session_realloc};

// Submits that a test has asked to fail, by kind.
std::array<std::atomic<int>, 5> failing_submits{};

// Whether the submit of `kind` about to be made is one a test asked to fail.
bool submit_fails(Http2Submit kind) {
    std::atomic<int>& left = failing_submits[static_cast<std::size_t>(kind)];
    int count = left.load();
    while (count > 0 && !left.compare_exchange_weak(count, count - 1)) {
    }
    return count > 0;
}

struct SessionDelete {
    void operator()(nghttp2_session* session) const { nghttp2_session_del(session); }
};
struct CallbacksDelete {
    void operator()(nghttp2_session_callbacks* callbacks) const {
        nghttp2_session_callbacks_del(callbacks);
    }
};
struct OptionDelete {
    void operator()(nghttp2_option* option) const { nghttp2_option_del(option); }
};
using SessionPtr = std::unique_ptr<nghttp2_session, SessionDelete>;

// Runs the body of an nghttp2 callback: no exception may unwind through the library's C frames.
// A failure fails the whole session, which ends this connection only.
template <typename Body>
auto guarded(Body&& body) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (...) {
        return NGHTTP2_ERR_CALLBACK_FAILURE;
    }
}

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
    std::string body;
    bool body_overflow = false;
    bool end_stream = false;  // the client has sent all of the request
    bool closed = false;      // the stream is gone (answered, reset, or the connection ended)
    bool answered = false;    // the reply has been submitted
    bool continue_sent = false;
    // The header list as RFC 9113 counts it; past kHeaderLimit nothing more of it is kept, and
    // the stream is answered 431.
    std::size_t header_list_size = 0;
    bool header_list_too_large = false;
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

SessionPtr make_session(void* user_data);

class Http2Server final : public ShutdownHook, public std::enable_shared_from_this<Http2Server> {
  public:
    explicit Http2Server(std::shared_ptr<Connection> connection)
        : connection_(std::move(connection)), session_(make_session(this)) {
        connection_->set_hook(this);
    }
    Http2Server(const Http2Server&) = delete;
    Http2Server& operator=(const Http2Server&) = delete;
    ~Http2Server() { connection_->set_hook(nullptr); }

    asio::awaitable<void> run(std::string received);

    Connection& connection() { return *connection_; }

    // Announces that no new stream is taken (GOAWAY with the last stream already being
    // processed); open streams finish, then the connection ends.
    void graceful_shutdown() override { start_goaway(); }

    void send_continue(std::int32_t stream_id) {
        static const std::string status_name = ":status";
        static const std::string status_value = "100";
        const nghttp2_nv nv = make_nv(status_name, status_value);
        if (submit_fails(Http2Submit::headers) ||
            nghttp2_submit_headers(session_.get(), NGHTTP2_FLAG_NONE, stream_id, nullptr, &nv, 1,
                                   nullptr) < 0) {
            // A client waiting for the interim reply would wait for ever.
            reset_stream(stream_id, NGHTTP2_INTERNAL_ERROR);
        }
        schedule_flush();
    }

    // Whether some stream still waits on the client: a header block not yet complete, or a body
    // not yet ended, with no reply submitted.
    bool receiving_request() const override {
        for (const auto& entry : streams_) {
            if (!entry.second->end_stream && !entry.second->answered) {
                return true;
            }
        }
        return false;
    }

    // With no reply owed to any other stream, the connection ends; otherwise the streams still
    // being received are reset and the others finish.
    void end_stalled() override {
        std::vector<std::int32_t> stalled;
        bool busy = false;
        for (const auto& entry : streams_) {
            if (!entry.second->end_stream && !entry.second->answered) {
                stalled.push_back(entry.first);
            } else {
                busy = true;
            }
        }
        if (!busy) {
            end_connection();
            return;
        }
        for (const std::int32_t id : stalled) {
            reset_stream(id, NGHTTP2_CANCEL);
        }
        schedule_flush();
    }

    static int on_begin_headers(nghttp2_session*, const nghttp2_frame* frame, void* user_data) {
        return guarded([&] {
            if (frame->hd.type == NGHTTP2_HEADERS && frame->headers.cat == NGHTTP2_HCAT_REQUEST) {
                Http2Server& server = self(user_data);
                server.streams_[frame->hd.stream_id] = std::make_shared<Stream>(
                    server, frame->hd.stream_id, server.connection_->strand);
            }
            return 0;
        });
    }

    // Also the callback for a field that nghttp2 judges invalid: such a value is handed on as
    // it came, so that the router's rules, not a stream reset, answer a Host or Origin that is
    // not a clean authority or not visible ASCII.
    static int on_header(nghttp2_session*, const nghttp2_frame* frame, const std::uint8_t* name,
                         std::size_t namelen, const std::uint8_t* value, std::size_t valuelen,
                         std::uint8_t, void* user_data) {
        return guarded([&] {
            if (frame->hd.type != NGHTTP2_HEADERS || frame->headers.cat != NGHTTP2_HCAT_REQUEST) {
                return 0;  // trailers are not looked at
            }
            Stream* stream = self(user_data).find(frame->hd.stream_id);
            if (stream == nullptr) {
                return 0;
            }
            // What the client has declared it may send, enforced here: nghttp2 keeps no more
            // than one field at a time, and past the limit nothing more is kept here either.
            stream->header_list_size += namelen + valuelen + 32;
            if (stream->header_list_size > kHeaderLimit) {
                stream->header_list_too_large = true;
                stream->request.headers.clear();
                return 0;
            }
            const std::string_view n(reinterpret_cast<const char*>(name), namelen);
            std::string v(reinterpret_cast<const char*>(value), valuelen);
            if (n == ":method") {
                stream->request.method = std::move(v);
            } else if (n == ":path") {
                stream->request.target = std::move(v);
            } else if (n == kAuthorityHeader || (!n.empty() && n.front() != ':')) {
                stream->request.headers.push_back(Header{std::string(n), std::move(v)});
            }
            return 0;
        });
    }

    static int on_frame_recv(nghttp2_session*, const nghttp2_frame* frame, void* user_data) {
        return guarded([&] {
            if (frame->hd.type != NGHTTP2_HEADERS && frame->hd.type != NGHTTP2_DATA) {
                return 0;
            }
            Http2Server& server = self(user_data);
            const auto it = server.streams_.find(frame->hd.stream_id);
            if (it == server.streams_.end()) {
                return 0;
            }
            const std::shared_ptr<Stream>& stream = it->second;
            if ((frame->hd.flags & NGHTTP2_FLAG_END_STREAM) != 0) {
                stream->end_stream = true;
                stream->wake();
            }
            if (frame->hd.type == NGHTTP2_HEADERS && frame->headers.cat == NGHTTP2_HCAT_REQUEST) {
                // A body follows unless the header block ended the stream; by the time the
                // request is routed, the body may have arrived as well.
                stream->request.body = stream->end_stream ? nullptr : stream.get();
                server.arrived_.push_back(stream);  // routed once the receive has returned
            }
            return 0;
        });
    }

    static int on_data_chunk_recv(nghttp2_session*, std::uint8_t, std::int32_t stream_id,
                                  const std::uint8_t* data, std::size_t len, void* user_data) {
        return guarded([&] {
            Stream* stream = self(user_data).find(stream_id);
            if (stream == nullptr) {
                return 0;
            }
            // Only as much as the body limit is kept; a stream that sends more (without a
            // declared length, which nghttp2 holds the data to) is answered by the router
            // without its body.
            if (!stream->body_overflow && stream->body.size() + len <= kBodyLimit) {
                stream->body.append(reinterpret_cast<const char*>(data), len);
            } else {
                stream->body_overflow = true;
                stream->body.clear();
            }
            stream->wake();
            return 0;
        });
    }

    static int on_stream_close(nghttp2_session*, std::int32_t stream_id, std::uint32_t,
                               void* user_data) {
        return guarded([&] {
            Http2Server& server = self(user_data);
            const auto it = server.streams_.find(stream_id);
            if (it != server.streams_.end()) {
                it->second->closed = true;
                it->second->wake();
                server.streams_.erase(it);
            }
            return 0;
        });
    }

    static int on_frame_send(nghttp2_session*, const nghttp2_frame* frame, void* user_data) {
        return guarded([&] {
            // The reply is complete but the client is still sending its request (a body the
            // router did not need): the stream is reset, without error (RFC 9113 8.1), once
            // this send has returned.
            if ((frame->hd.type == NGHTTP2_HEADERS || frame->hd.type == NGHTTP2_DATA) &&
                (frame->hd.flags & NGHTTP2_FLAG_END_STREAM) != 0) {
                Http2Server& server = self(user_data);
                Stream* stream = server.find(frame->hd.stream_id);
                if (stream != nullptr && !stream->end_stream) {
                    server.resets_.push_back(frame->hd.stream_id);
                }
            }
            return 0;
        });
    }

  private:
    static Http2Server& self(void* user_data) { return *static_cast<Http2Server*>(user_data); }

    Stream* find(std::int32_t id) {
        const auto it = streams_.find(id);
        return it == streams_.end() ? nullptr : it->second.get();
    }

    bool ended() const { return connection_->stage() == Stage::ended; }

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
        if (stream->header_list_too_large) {
            // The reply HTTP/1.1 gives to a head over the same limit; the stream alone ends.
            respond(*stream, error_reply(431, "invalidRequest", "invalid request header"));
            return;
        }
        asio::co_spawn(connection_->strand, handle(shared_from_this(), stream), asio::detached);
    }

    // Ends one stream with RST_STREAM; when even that cannot be submitted, the connection ends,
    // so that no stream is left that neither replies nor finishes.
    void reset_stream(std::int32_t id, std::uint32_t error_code) {
        if (ended()) {
            return;
        }
        if (submit_fails(Http2Submit::rst_stream) ||
            nghttp2_submit_rst_stream(session_.get(), NGHTTP2_FLAG_NONE, id, error_code) != 0) {
            end_connection();
        }
    }

    static asio::awaitable<void> handle(std::shared_ptr<Http2Server> server,
                                        std::shared_ptr<Stream> stream) {
        try {
            Reply reply = co_await server->connection_->route(stream->request);
            server->respond(*stream, std::move(reply));
        } catch (...) {
            // Out of memory while answering: the session may hold half a reply, so the
            // connection ends; the service goes on.
            server->end_connection();
        }
    }

    void respond(Stream& stream, Reply reply) {
        if (stream.closed || ended()) {
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
            fields.emplace_back(ascii_lowered(header.name), header.value);
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
        if (submit_fails(Http2Submit::response) ||
            nghttp2_submit_response(session_.get(), stream.id, nva.data(), nva.size(),
                                    with_body ? &provider : nullptr) != 0) {
            reset_stream(stream.id, NGHTTP2_INTERNAL_ERROR);
            schedule_flush();
            return;
        }
        stream.answered = true;
        if (closes) {
            start_goaway();
        }
        schedule_flush();
    }

    void start_goaway() {
        if (goaway_sent_ || ended()) {
            return;
        }
        goaway_sent_ = true;
        if (submit_fails(Http2Submit::goaway) ||
            nghttp2_submit_goaway(session_.get(), NGHTTP2_FLAG_NONE,
                                  nghttp2_session_get_last_proc_stream_id(session_.get()),
                                  NGHTTP2_NO_ERROR, nullptr, 0) != 0) {
            // Without it the client would go on opening streams that are never taken.
            end_connection();
            return;
        }
        schedule_flush();
    }

    // Feeds received bytes to the session, then routes the requests that arrived; false once
    // the session cannot go on.
    bool feed(const std::uint8_t* data, std::size_t size) {
        const ssize_t consumed = nghttp2_session_mem_recv(session_.get(), data, size);
        std::vector<std::shared_ptr<Stream>> arrived;
        arrived.swap(arrived_);
        if (consumed < 0) {
            return false;
        }
        for (const std::shared_ptr<Stream>& stream : arrived) {
            if (!stream->closed && !ended()) {
                dispatch(stream);
            }
        }
        schedule_flush();
        return true;
    }

    void schedule_flush() {
        if (writing_ || ended()) {
            return;
        }
        writing_ = true;
        asio::co_spawn(connection_->strand, write_pending(shared_from_this()), asio::detached);
    }

    // Everything the session has to send, with the resets asked for during the send submitted
    // after it; false when the session fails.
    bool collect_output(std::string& out) {
        for (;;) {
            const std::uint8_t* data = nullptr;
            const ssize_t n = nghttp2_session_mem_send(session_.get(), &data);
            if (n < 0) {
                resets_.clear();
                return false;
            }
            if (n > 0) {
                out.append(reinterpret_cast<const char*>(data), static_cast<std::size_t>(n));
                continue;
            }
            if (resets_.empty()) {
                return true;
            }
            std::vector<std::int32_t> resets;
            resets.swap(resets_);
            for (const std::int32_t id : resets) {
                if (submit_fails(Http2Submit::rst_stream) ||
                    nghttp2_submit_rst_stream(session_.get(), NGHTTP2_FLAG_NONE, id,
                                              NGHTTP2_NO_ERROR) != 0) {
                    return false;
                }
            }
        }
    }

    static asio::awaitable<void> write_pending(std::shared_ptr<Http2Server> server) {
        try {
            std::string out;
            while (!server->ended()) {
                out.clear();
                if (!server->collect_output(out)) {
                    server->end_connection();
                    break;
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
        } catch (...) {
            server->end_connection();  // out of memory while collecting the output
        }
        server->writing_ = false;
        server->check_finished();
    }

    // Once the session wants neither to read nor to write (GOAWAY exchanged and every stream
    // done), the connection lingers: the sending side is shut down, and the reader drops
    // whatever still arrives until the client closes.
    void check_finished() {
        if (writing_ || connection_->stage() != Stage::serving) {
            return;
        }
        if (nghttp2_session_want_read(session_.get()) == 0 &&
            nghttp2_session_want_write(session_.get()) == 0) {
            connection_->begin_lingering();
        }
    }

    void end_connection() { connection_->end(); }

    // Every stream still waiting for its body sees the end at once.
    void connection_ended() override {
        for (auto& entry : streams_) {
            entry.second->closed = true;
            entry.second->wake();
        }
    }

    std::shared_ptr<Connection> connection_;
    SessionPtr session_;
    std::map<std::int32_t, std::shared_ptr<Stream>> streams_;
    // Filled inside the session's callbacks, acted on once the library call has returned.
    std::vector<std::shared_ptr<Stream>> arrived_;
    std::vector<std::int32_t> resets_;
    bool writing_ = false;
    bool goaway_sent_ = false;
};

SessionPtr make_session(void* user_data) {
    nghttp2_session_callbacks* raw_callbacks = nullptr;
    if (nghttp2_session_callbacks_new(&raw_callbacks) != 0) {
        return nullptr;
    }
    const std::unique_ptr<nghttp2_session_callbacks, CallbacksDelete> callbacks(raw_callbacks);
    nghttp2_session_callbacks_set_on_begin_headers_callback(callbacks.get(),
                                                            &Http2Server::on_begin_headers);
    nghttp2_session_callbacks_set_on_header_callback(callbacks.get(), &Http2Server::on_header);
    nghttp2_session_callbacks_set_on_invalid_header_callback(callbacks.get(),
                                                             &Http2Server::on_header);
    nghttp2_session_callbacks_set_on_frame_recv_callback(callbacks.get(),
                                                         &Http2Server::on_frame_recv);
    nghttp2_session_callbacks_set_on_data_chunk_recv_callback(callbacks.get(),
                                                              &Http2Server::on_data_chunk_recv);
    nghttp2_session_callbacks_set_on_stream_close_callback(callbacks.get(),
                                                           &Http2Server::on_stream_close);
    nghttp2_session_callbacks_set_on_frame_send_callback(callbacks.get(),
                                                         &Http2Server::on_frame_send);

    nghttp2_option* raw_option = nullptr;
    if (nghttp2_option_new(&raw_option) != 0) {
        return nullptr;
    }
    const std::unique_ptr<nghttp2_option, OptionDelete> option(raw_option);
    // A closed stream is freed at once. Kept, as nghttp2 otherwise does for the priority tree
    // while no stream limit has been announced, every request would grow a connection that a
    // client polls for days. This is a library option, not a connection setting.
    nghttp2_option_set_no_closed_streams(option.get(), 1);
    // Flood bounds: each ends the session (and so the connection) of a client that exceeds it.
    // The values are nghttp2's own defaults, set here so that they hold whatever build of the
    // library is linked; a library without these setters does not build this file.
    // - SETTINGS and PING acknowledgements queued while the client does not read: a client
    //   that keeps sending either, and never reads, would grow the queue without end.
    nghttp2_option_set_max_outbound_ack(option.get(), kMaxOutboundAcks);
    // - Entries in one SETTINGS frame: each costs work to apply.
    nghttp2_option_set_max_settings(option.get(), kMaxSettingsEntries);
    // - Stream resets from the client ("rapid reset"): a stream opened and reset at once costs
    //   the server a request each, and does not count against the concurrent stream limit.
    nghttp2_option_set_stream_reset_rate_limit(option.get(), kResetBurst, kResetsPerSecond);
    // - CONTINUATION frames after one HEADERS: nghttp2 decodes each as it arrives, so a header
    //   block that never ends would cost CPU without end.
    nghttp2_option_set_max_continuations(option.get(), kMaxContinuations);
    // No setter exists for the frames that need no answer and open nothing (empty DATA,
    // WINDOW_UPDATE, PRIORITY, SETTINGS already bounded by the ACK queue): they cost the read
    // loop's time only, and a stop's drain ends such a connection at its deadline. Nor for a
    // client that never acknowledges the server's SETTINGS: the same deadline bounds it.

    nghttp2_session* session = nullptr;
    if (nghttp2_session_server_new3(&session, callbacks.get(), user_data, option.get(),
                                    &session_mem) != 0) {
        return nullptr;
    }
    return SessionPtr(session);
}

asio::awaitable<Result<std::string>> Stream::read_body() {
    const std::string* expect = request.header("expect");
    if (expect != nullptr && ascii_iequals(*expect, "100-continue") && !end_stream && !closed &&
        !continue_sent && body.empty()) {
        continue_sent = true;
        server.send_continue(id);
    }
    const CountedScope waiting = server.connection().waiting_on_client();
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
    connection_->set_stage(Stage::serving);
    // The server's connection preface. A client that opens more streams than announced has
    // them refused by nghttp2 (RST_STREAM REFUSED_STREAM until it acknowledges the SETTINGS, a
    // connection error after).
    const std::array<nghttp2_settings_entry, 2> settings{{
        {NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS, kMaxConcurrentStreams},
        {NGHTTP2_SETTINGS_MAX_HEADER_LIST_SIZE, static_cast<std::uint32_t>(kHeaderLimit)},
    }};
    if (submit_fails(Http2Submit::settings) ||
        nghttp2_submit_settings(session_.get(), NGHTTP2_FLAG_NONE, settings.data(),
                                settings.size()) != 0) {
        end_connection();
        co_return;
    }
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
        if (ec || ended()) {
            break;
        }
        connection_->note_received();
        if (connection_->stage() == Stage::lingering) {
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

std::size_t http2_session_blocks_for_testing() {
    return session_blocks.load();
}

void fail_http2_submits_for_testing(Http2Submit kind, int count) {
    failing_submits[static_cast<std::size_t>(kind)].store(count);
}

asio::awaitable<void> serve_http2(std::shared_ptr<Connection> connection, std::string received) {
    auto server = std::make_shared<Http2Server>(std::move(connection));
    co_await server->run(std::move(received));
}

}  // namespace drovane::hub::http
