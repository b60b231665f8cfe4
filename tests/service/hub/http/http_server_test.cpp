// The HTTP connections with the real router over loopback, a recording Core double behind it, and
// every connection admitted by a small test acceptor. The clients are curl and nghttp.
#include "service/hub/http/http_server.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <nghttp2/nghttp2.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/connect.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/use_future.hpp>
#include <boost/asio/write.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fakes/recording_core.hpp"
#include "loopback_front.hpp"
#include "service/hub/api/wire.hpp"
#include "service/hub/helper_log.hpp"
#include "service/hub/http/http2.hpp"
#include "service/hub/http/http_connection.hpp"
#include "service/runtime.hpp"

namespace drovane::hub {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using namespace std::chrono_literals;

// The front with a ping that answers with a body of its own, so that a reply shows it came from
// the Core.
class TestServer : public testing::LoopbackFront {
  public:
    TestServer()
        : LoopbackFront(0, [](testing::RecordingCore& core) {
              core.ping_hook = [](const std::string&) { return HelperPath{"pong"}; };
          }) {}
};

struct Command {
    int status = -1;
    std::string output;  // standard output and standard error together
};

Command run(const std::string& command) {
    // The client must not inherit the test's own sockets (the server's side of connections
    // among them), or a connection the server closes would stay open in the child.
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        const int fd = std::atoi(entry.path().filename().c_str());
        if (fd > 2) {
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
    }
    Command result;
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        return result;
    }
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        result.output.append(buffer, n);
    }
    result.status = ::pclose(pipe);
    return result;
}

std::size_t count(const std::string& text, const std::string& part) {
    std::size_t found = 0;
    for (std::size_t at = text.find(part); at != std::string::npos;
         at = text.find(part, at + part.size())) {
        ++found;
    }
    return found;
}

std::string temp_file(const std::string& name, const std::string& content) {
    const std::filesystem::path path = std::filesystem::temp_directory_path() /
                                       ("drovane-http-" + std::to_string(::getpid()) + "-" + name);
    std::ofstream(path, std::ios::binary) << content;
    return path.string();
}

const std::string kSession = std::string(32, 'a');
const std::string kStartBody = "{\"address\":\"\\\\\\\\.\\\\pipe\\\\DrovaneCore_" +
                               std::string(32, 'b') + "\",\"sessionId\":\"" + kSession + "\"}";

// A blocking client socket for exact bytes on the wire.
struct RawClient {
    explicit RawClient(std::uint16_t port) : socket(io) {
        socket.connect(tcp::endpoint(asio::ip::make_address_v4("127.0.0.1"), port));
    }
    void send(const std::string& bytes) { asio::write(socket, asio::buffer(bytes)); }
    // One reply: the header block, then as many body bytes as it declares.
    std::string read_reply() {
        boost::system::error_code ec;
        const std::size_t head =
            asio::read_until(socket, asio::dynamic_buffer(buffer), "\r\n\r\n", ec);
        if (ec) {
            return {};
        }
        std::string reply = buffer.substr(0, head);
        buffer.erase(0, head);
        std::size_t length = 0;
        const std::size_t at = reply.find("content-length: ");
        if (at != std::string::npos) {
            length = std::stoul(reply.substr(at + 16));
        }
        if (buffer.size() < length) {
            std::string rest(length - buffer.size(), '\0');
            asio::read(socket, asio::buffer(rest), ec);
            buffer += rest;
        }
        reply += buffer.substr(0, length);
        buffer.erase(0, length);
        return reply;
    }
    // Whether the server closes the connection within `limit`, with nothing more sent.
    bool closed_within(std::chrono::milliseconds limit) {
        pollfd fd{socket.native_handle(), POLLIN, 0};
        if (::poll(&fd, 1, static_cast<int>(limit.count())) <= 0) {
            return false;
        }
        char byte;
        boost::system::error_code ec;
        const std::size_t n = socket.read_some(asio::buffer(&byte, 1), ec);
        return n == 0 && (ec == asio::error::eof || ec == asio::error::connection_reset);
    }

    // Whether the server ends the connection within `limit`; what it still sent is dropped
    // into `received`.
    bool ends_within(std::chrono::milliseconds limit, std::string& received) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd fd{socket.native_handle(), POLLIN, 0};
            if (left.count() <= 0 || ::poll(&fd, 1, static_cast<int>(left.count())) <= 0) {
                return false;
            }
            char chunk[4096];
            boost::system::error_code ec;
            const std::size_t n = socket.read_some(asio::buffer(chunk), ec);
            if (ec) {
                return ec == asio::error::eof || ec == asio::error::connection_reset;
            }
            received.append(chunk, n);
        }
    }

    asio::io_context io;
    tcp::socket socket;
    std::string buffer;
};

TEST(HttpServer, CurlKeepsOneConnectionForTwoRequests) {
    static int run_count = 0;
    const std::string line = "Helper test line " + std::to_string(++run_count) + ".";
    append_helper_log(line);
    TestServer server;
    const Command curl =
        run("curl -sv --max-time 20 " + server.url("/logs") + " " + server.url("/logs/"));
    ASSERT_EQ(curl.status, 0) << curl.output;
    EXPECT_NE(curl.output.find("Re-using existing connection"), std::string::npos) << curl.output;
    EXPECT_EQ(server.accepted.load(), 1);
    EXPECT_EQ(count(curl.output, "< HTTP/1.1 200 OK"), 2u) << curl.output;
    EXPECT_EQ(count(curl.output, line), 2u) << curl.output;
    EXPECT_EQ(curl.output.find("< connection"), std::string::npos) << curl.output;
}

// Each row runs one curl with the same request twice: whether the second one reuses the
// connection shows whether the first reply closed it.
struct CurlCase {
    const char* name;
    std::string arguments;
    std::string path;
    std::string status_line;
    int connections;
    std::vector<std::string> output_has;
};

TEST(HttpServer, CurlRepliesAndConnectionReuse) {
    const std::string start_body = temp_file("start.json", kStartBody);
    const std::string big_body = temp_file("big.json", std::string(5000, ' ') + "{}");
    const std::vector<CurlCase> cases = {
        {"forbidden origin closes",
         "-H 'Origin: null'",
         "/logs",
         "403 Forbidden",
         2,
         {"< connection: close", "browser origins"}},
        {"non-local host closes", "-H 'Host: example.com'", "/nowhere", "403 Forbidden", 2, {}},
        {"413 after 100-continue closes",
         "-H 'Content-Type: application/json' --data-binary @" + big_body,
         "/start",
         "413 Payload Too Large",
         2,
         {"request body exceeds 4096 bytes"}},
        {"413 with the body already sent closes",
         "-H 'Expect:' -H 'Content-Type: application/json' --data-binary @" + big_body,
         "/start",
         "413 Payload Too Large",
         2,
         {"request body exceeds 4096 bytes"}},
        {"body read after 100 Continue",
         "-H 'Expect: 100-continue' -H 'Content-Type: application/json' --data-binary @" +
             start_body,
         "/start",
         "200 OK",
         1,
         {"< HTTP/1.1 100 Continue", "\"pid\":4242"}},
        {"unread small body is skipped", "-d 'x=1'", "/ping", "405 Method Not Allowed", 1, {}},
        {"unread chunked body closes",
         "-H 'Transfer-Encoding: chunked' -d '{}'",
         "/start",
         "411 Length Required",
         2,
         {}},
        {"HTTP/1.0 closes", "--http1.0", "/logs", "200 OK", 2, {}},
        {"HTTP/1.0 keep-alive",
         "--http1.0 -H 'Connection: keep-alive'",
         "/logs",
         "200 OK",
         1,
         {"< connection: keep-alive"}},
        {"HEAD gets the length only",
         "-I",
         "/logs",
         "405 Method Not Allowed",
         1,
         {"< content-length: "}},
        {"ping reaches the Core",
         "",
         "/ping?coreSha256=abc",
         "200 OK",
         1,
         {"x-drovane-helper-protocol: 8", "pong"}},
    };
    for (const CurlCase& row : cases) {
        SCOPED_TRACE(row.name);
        TestServer server;
        const std::string url = "'" + server.url(row.path) + "'";
        const Command curl = run("curl -sv --max-time 20 " + row.arguments + " " + url + " " + url);
        ASSERT_EQ(curl.status, 0) << curl.output;
        EXPECT_EQ(count(curl.output, "< HTTP/1.1 " + row.status_line + "\r\n"), 2u) << curl.output;
        EXPECT_EQ(server.accepted.load(), row.connections) << curl.output;
        for (const std::string& part : row.output_has) {
            EXPECT_NE(curl.output.find(part), std::string::npos) << part << "\n" << curl.output;
        }
    }
}

TEST(HttpServer, RepliesCarryOnlyTheirHeadersAndTheFraming) {
    append_helper_log("Helper framing line");
    TestServer server;
    RawClient client(server.port);
    client.send("GET /logs HTTP/1.1\r\nHost: localhost\r\n\r\nGET /logs HTTP/1.1\r\n\r\n");
    const Reply expected = logs_reply(process_helper_log().read(std::nullopt));
    for (int i = 0; i < 2; ++i) {
        const std::string reply = client.read_reply();
        std::string head = "HTTP/1.1 200 OK\r\n";
        for (const Header& header : expected.headers) {
            head += header.name + ": " + header.value + "\r\n";
        }
        head += "content-length: " + std::to_string(expected.body.size()) + "\r\n\r\n";
        EXPECT_EQ(reply, head + expected.body);
    }
}

const std::string kInvalidHeaderBody =
    "{\"code\":\"invalidRequest\",\"message\":\"invalid request header\"}";
const std::string kForbiddenBody =
    "{\"code\":\"invalidRequest\",\"message\":\"browser origins and non-local hosts are not "
    "allowed\"}";

// A request head that Beast refuses never reaches the router: the HTTP layer answers it with the
// JSON error shape and closes, since where the message ends is unknown.
TEST(HttpServer, RequestHeadsBeastRefusesGetJsonErrorsAndClose) {
    const std::string bad_request =
        "HTTP/1.1 400 Bad Request\r\ncontent-type: application/json\r\n"
        "content-length: " +
        std::to_string(kInvalidHeaderBody.size()) + "\r\nconnection: close\r\n\r\n" +
        kInvalidHeaderBody;
    struct Case {
        const char* name;
        std::string head;
        std::string reply;
    };
    const std::vector<Case> cases = {
        {"control character in Host", "GET /logs HTTP/1.1\r\nHost: local\x01host\r\n", bad_request},
        {"DEL in Host", "GET /logs HTTP/1.1\r\nHost: localhost\x7f\r\n", bad_request},
        {"control character in Origin", "GET /logs HTTP/1.1\r\nOrigin: a\x02\r\n", bad_request},
        {"bad request line", "GET /logs HTTP/1.1 extra\r\n", bad_request},
        {"Transfer-Encoding after Content-Length",
         "POST /stop HTTP/1.1\r\nContent-Length: 2\r\nTransfer-Encoding: chunked\r\n", bad_request},
        {"Content-Length after Transfer-Encoding",
         "POST /stop HTTP/1.1\r\nTransfer-Encoding: chunked\r\nContent-Length: 2\r\n", bad_request},
        {"Content-Length not a number", "GET /logs HTTP/1.1\r\nContent-Length: abc\r\n",
         "HTTP/1.1 411 Length Required\r\ncontent-type: application/json\r\ncontent-length: "
         "69\r\nconnection: close\r\n\r\n{\"code\":\"invalidRequest\",\"message\":\"request body "
         "length is required\"}"},
    };
    TestServer server;
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        RawClient client(server.port);
        client.send(row.head + "\r\n");
        EXPECT_EQ(client.read_reply(), row.reply);
        EXPECT_TRUE(client.closed_within(5s));
    }
}

TEST(HttpServer, DrainDoesNotWaitForABodyThatNeverComes) {
    TestServer server;
    RawClient client(server.port);
    // The router answers 405 without reading the declared body, and the connection stays open
    // to skip it; the client never sends it.
    client.send("POST /ping HTTP/1.1\r\nHost: localhost\r\nContent-Length: 100\r\n\r\n");
    ASSERT_NE(client.read_reply().find("405 Method Not Allowed"), std::string::npos);
    std::future<void> drained = server.start_drain();
    EXPECT_EQ(drained.wait_for(1s), std::future_status::ready)
        << "the drain waited for the unsent body";
    EXPECT_TRUE(client.closed_within(1s));
}

TEST(HttpServer, NghttpSpeaksHttp2WithPriorKnowledge) {
    append_helper_log("Helper h2 line");
    TestServer server;
    const Command logs = run("nghttp -nv " + server.url("/logs"));
    ASSERT_EQ(logs.status, 0) << logs.output;
    EXPECT_NE(logs.output.find(":status: 200"), std::string::npos) << logs.output;
    EXPECT_NE(logs.output.find("cache-control: no-store"), std::string::npos) << logs.output;
    EXPECT_NE(logs.output.find("content-length: "), std::string::npos) << logs.output;

    // A body read through the router, with a declared length.
    const std::string body = temp_file("stop.json", "{\"sessionId\":\"" + kSession + "\"}");
    const Command stop = run("nghttp -nv -H 'content-type: application/json' -d " + body + " " +
                             server.url("/stop"));
    ASSERT_EQ(stop.status, 0) << stop.output;
    EXPECT_NE(stop.output.find(":status: 200"), std::string::npos) << stop.output;
    ASSERT_TRUE(server.core.wait_for_calls(1));
    EXPECT_EQ(server.core.calls().back(), (testing::RecordingCore::Call{"stop", {kSession}}));

    // :authority stands for Host: a foreign name is refused and the connection goes away.
    const Command foreign = run("nghttp -nv -H ':authority: example.com' " + server.url("/logs"));
    EXPECT_NE(foreign.output.find(":status: 403"), std::string::npos) << foreign.output;
    EXPECT_NE(foreign.output.find("recv GOAWAY"), std::string::npos) << foreign.output;

    // 413 closes the HTTP/2 connection too, without waiting for the body.
    const std::string big = temp_file("big2.json", std::string(5000, ' ') + "{}");
    const Command large = run("nghttp -nv -H 'content-type: application/json' -d " + big + " " +
                              server.url("/start"));
    EXPECT_NE(large.output.find(":status: 413"), std::string::npos) << large.output;
    EXPECT_NE(large.output.find("recv GOAWAY"), std::string::npos) << large.output;
    EXPECT_EQ(server.core.calls().size(), 1u);
}

TEST(HttpServer, DrainFinishesTheRequestInFlightAndClosesIdleConnections) {
    TestServer server;
    RawClient idle(server.port);
    idle.send("GET /logs HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    ASSERT_NE(idle.read_reply().find("200 OK"), std::string::npos);

    server.core.hold();
    std::future<Command> http1 = std::async(std::launch::async, [&] {
        return run("curl -sv --max-time 30 '" + server.url("/ping?coreSha256=one") + "'");
    });
    std::future<Command> http2 = std::async(std::launch::async, [&] {
        return run("nghttp -nv '" + server.url("/ping?coreSha256=two") + "'");
    });
    ASSERT_TRUE(server.core.wait_for_calls(2));

    std::future<void> drained = server.start_drain();
    EXPECT_TRUE(idle.closed_within(5s)) << "the idle keep-alive connection stayed open";
    EXPECT_EQ(drained.wait_for(200ms), std::future_status::timeout)
        << "drain ended with requests in flight";

    server.core.release();
    const Command curl = http1.get();
    const Command nghttp = http2.get();
    EXPECT_EQ(curl.status, 0) << curl.output;
    EXPECT_NE(curl.output.find("< HTTP/1.1 200 OK"), std::string::npos) << curl.output;
    EXPECT_NE(curl.output.find("< connection: close"), std::string::npos) << curl.output;
    EXPECT_EQ(nghttp.status, 0) << nghttp.output;
    EXPECT_NE(nghttp.output.find(":status: 200"), std::string::npos) << nghttp.output;
    EXPECT_NE(nghttp.output.find("recv GOAWAY"), std::string::npos) << nghttp.output;
    ASSERT_EQ(drained.wait_for(10s), std::future_status::ready);

    // A connection handed over after draining started is closed at once.
    asio::io_context io;
    tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::make_address_v4("127.0.0.1"), 0));
    RawClient late(acceptor.local_endpoint().port());
    tcp::socket accepted(server.executor());
    acceptor.accept(accepted);
    server.serve_late(std::move(accepted));
    EXPECT_TRUE(late.closed_within(5s));
}

TEST(HttpServer, ClientsThatKeepTheirSocketsAfterAClosingReplyDoNotHoldUpTheDrain) {
    TestServer server;
    // HTTP/1.1: a 403 closes the connection, but this client never closes its end.
    RawClient forbidden(server.port);
    forbidden.send("GET /logs HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: null\r\n\r\n");
    ASSERT_NE(forbidden.read_reply().find("403 Forbidden"), std::string::npos);

    // A request in flight at drain gets its reply with keep-alive off; the client stays.
    server.core.hold();
    RawClient in_flight(server.port);
    in_flight.send("GET /ping?coreSha256=x HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    ASSERT_TRUE(server.core.wait_for_calls(1));
    std::future<void> drained = server.start_drain();
    server.core.release();
    EXPECT_NE(in_flight.read_reply().find("connection: close"), std::string::npos);

    EXPECT_EQ(drained.wait_for(10s), std::future_status::ready)
        << "a lingering client kept the drain waiting";
    EXPECT_TRUE(forbidden.closed_within(1s));
    EXPECT_TRUE(in_flight.closed_within(1s));
}

// One HTTP/2 exchange as the client saw it.
struct H2Reply {
    std::string status;
    std::string body;
    bool reset_without_error = false;  // the server ended the stream with RST_STREAM NO_ERROR
};

struct H2Request {
    std::vector<std::pair<std::string, std::string>> headers;  // pseudo-headers first
    std::string body;
    bool ends = true;  // false: the body is sent, then the stream stays open
};

// A request with the usual pseudo-headers and `extra` after them.
H2Request h2_request(const std::string& method, const std::string& path,
                     std::vector<std::pair<std::string, std::string>> extra = {}) {
    H2Request request;
    request.headers = {
        {":method", method}, {":scheme", "http"}, {":authority", "127.0.0.1"}, {":path", path}};
    request.headers.insert(request.headers.end(), extra.begin(), extra.end());
    return request;
}

// An nghttp2 client session on one blocking connection: each exchange submits its requests at
// once and runs until every one of their streams has closed.
class Http2Client {
  public:
    explicit Http2Client(std::uint16_t port) : raw_(port) {
        nghttp2_session_callbacks* callbacks = nullptr;
        nghttp2_session_callbacks_new(&callbacks);
        nghttp2_session_callbacks_set_on_header_callback(callbacks, &on_header);
        nghttp2_session_callbacks_set_on_data_chunk_recv_callback(callbacks, &on_data);
        nghttp2_session_callbacks_set_on_frame_recv_callback(callbacks, &on_frame);
        nghttp2_session_callbacks_set_on_stream_close_callback(callbacks, &on_close);
        nghttp2_session_client_new(&session_, callbacks, this);
        nghttp2_session_callbacks_del(callbacks);
        nghttp2_submit_settings(session_, NGHTTP2_FLAG_NONE, nullptr, 0);
    }
    ~Http2Client() { nghttp2_session_del(session_); }
    Http2Client(const Http2Client&) = delete;
    Http2Client& operator=(const Http2Client&) = delete;

    // The replies in request order; an empty status means the stream ended without one.
    std::vector<H2Reply> exchange(const std::vector<H2Request>& requests) {
        std::vector<std::int32_t> ids;
        close_codes.clear();
        bodies_.clear();
        bodies_.reserve(requests.size());
        for (const H2Request& request : requests) {
            std::vector<nghttp2_nv> nva;
            for (const auto& [name, value] : request.headers) {
                nva.push_back({reinterpret_cast<uint8_t*>(const_cast<char*>(name.data())),
                               reinterpret_cast<uint8_t*>(const_cast<char*>(value.data())),
                               name.size(), value.size(), NGHTTP2_NV_FLAG_NONE});
            }
            bodies_.push_back(Body{request.body, 0, request.ends});
            nghttp2_data_provider provider;
            provider.source.ptr = &bodies_.back();
            provider.read_callback = &read_body;
            const bool with_body = !request.body.empty() || !request.ends;
            const std::int32_t id =
                nghttp2_submit_request(session_, nullptr, nva.data(), nva.size(),
                                       with_body ? &provider : nullptr, nullptr);
            ids.push_back(id);
            open_.insert(id);
        }
        last_ids = ids;
        run();
        std::vector<H2Reply> replies;
        for (const std::int32_t id : ids) {
            replies.push_back(replies_[id]);
            replies_.erase(id);
        }
        return replies;
    }

    bool goaway = false;
    // Set when the server closed the connection; an exchange then ends with what it has, where
    // a test allows it (`allow_close`).
    bool closed = false;
    bool allow_close = false;
    // How the streams of the last exchange closed (the RST_STREAM error code, 0 without error).
    std::map<std::int32_t, std::uint32_t> close_codes;
    std::vector<std::int32_t> last_ids;

  private:
    struct Body {
        std::string bytes;
        std::size_t sent = 0;
        bool ends = true;
    };

    static Http2Client& self(void* user) { return *static_cast<Http2Client*>(user); }

    static int on_header(nghttp2_session*, const nghttp2_frame* frame, const uint8_t* name,
                         size_t namelen, const uint8_t* value, size_t valuelen, uint8_t,
                         void* user) {
        if (std::string_view(reinterpret_cast<const char*>(name), namelen) == ":status") {
            self(user).replies_[frame->hd.stream_id].status.assign(
                reinterpret_cast<const char*>(value), valuelen);
        }
        return 0;
    }
    static int on_data(nghttp2_session*, uint8_t, int32_t id, const uint8_t* data, size_t length,
                       void* user) {
        self(user).replies_[id].body.append(reinterpret_cast<const char*>(data), length);
        return 0;
    }
    static int on_frame(nghttp2_session*, const nghttp2_frame* frame, void* user) {
        if (frame->hd.type == NGHTTP2_GOAWAY) {
            self(user).goaway = true;
        } else if (frame->hd.type == NGHTTP2_RST_STREAM &&
                   frame->rst_stream.error_code == NGHTTP2_NO_ERROR) {
            self(user).replies_[frame->hd.stream_id].reset_without_error = true;
        }
        return 0;
    }
    static int on_close(nghttp2_session*, int32_t id, uint32_t code, void* user) {
        self(user).open_.erase(id);
        self(user).close_codes[id] = code;
        return 0;
    }
    static ssize_t read_body(nghttp2_session*, int32_t, uint8_t* buf, size_t length,
                             uint32_t* flags, nghttp2_data_source* source, void*) {
        Body& body = *static_cast<Body*>(source->ptr);
        const std::size_t n = std::min(length, body.bytes.size() - body.sent);
        std::memcpy(buf, body.bytes.data() + body.sent, n);
        body.sent += n;
        if (body.sent < body.bytes.size()) {
            return static_cast<ssize_t>(n);
        }
        if (!body.ends) {
            return n > 0 ? static_cast<ssize_t>(n) : static_cast<ssize_t>(NGHTTP2_ERR_DEFERRED);
        }
        *flags |= NGHTTP2_DATA_FLAG_EOF;
        return static_cast<ssize_t>(n);
    }

    void run() {
        while (!open_.empty()) {
            const uint8_t* data = nullptr;
            ssize_t n = 0;
            while ((n = nghttp2_session_mem_send(session_, &data)) > 0) {
                boost::system::error_code ec;
                asio::write(raw_.socket, asio::buffer(data, static_cast<std::size_t>(n)), ec);
                if (ec && allow_close) {
                    closed = true;
                    return;
                }
                ASSERT_FALSE(ec) << "the server closed the connection";
            }
            pollfd fd{raw_.socket.native_handle(), POLLIN, 0};
            ASSERT_GT(::poll(&fd, 1, 10000), 0) << "no reply within 10 s";
            char chunk[16384];
            boost::system::error_code ec;
            const std::size_t got = raw_.socket.read_some(asio::buffer(chunk), ec);
            if (ec && allow_close) {
                closed = true;
                return;
            }
            ASSERT_FALSE(ec) << "the server closed the connection";
            ASSERT_EQ(nghttp2_session_mem_recv(session_, reinterpret_cast<uint8_t*>(chunk), got),
                      static_cast<ssize_t>(got));
        }
    }

    RawClient raw_;
    nghttp2_session* session_ = nullptr;
    std::vector<Body> bodies_;
    std::set<std::int32_t> open_;
    std::map<std::int32_t, H2Reply> replies_;
};

TEST(HttpServer, Http2CallerHeadersReachTheLocalCallerCheck) {
    H2Request foreign_authority = h2_request("GET", "/logs", {{"host", "localhost"}});
    foreign_authority.headers[2].second = "example.com";
    struct Case {
        const char* name;
        H2Request request;
        std::string status;
        std::string body;
    };
    const std::vector<Case> cases = {
        {"non-ASCII Host", h2_request("GET", "/logs", {{"host", "localhost\xc3\xa9"}}), "400",
         kInvalidHeaderBody},
        {"Host with an inner space", h2_request("GET", "/logs", {{"host", "local host"}}), "403",
         kForbiddenBody},
        {"Host with a slash", h2_request("GET", "/logs", {{"host", "localhost/x"}}), "403",
         kForbiddenBody},
        {"Origin with a leading space", h2_request("GET", "/logs", {{"origin", " null"}}), "403",
         kForbiddenBody},
        {":authority foreign, Host local", foreign_authority, "403", kForbiddenBody},
        {":authority local, Host foreign", h2_request("GET", "/logs", {{"host", "example.com"}}),
         "403", kForbiddenBody},
        {"both local", h2_request("GET", "/nowhere", {{"host", "LOCALHOST:1"}}), "404",
         "{\"code\":\"notFound\",\"message\":\"Helper endpoint not found\"}"},
    };
    TestServer server;
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        Http2Client client(server.port);
        const std::vector<H2Reply> replies = client.exchange({row.request});
        ASSERT_EQ(replies.size(), 1u);
        EXPECT_EQ(replies[0].status, row.status);
        EXPECT_EQ(replies[0].body, row.body);
    }
}

// Rejections that the router gives at once while the client is still sending its request: the
// reply goes out, the stream is reset without error, and the connection carries on unless the
// reply closes it. Closed streams are freed at once, so a reply sent from inside the receive
// that delivered the header block would free the stream under nghttp2's feet.
TEST(HttpServer, Http2EarlyRejectionsOfOpenStreams) {
    struct Case {
        const char* name;
        H2Request request;
        std::string status;
        bool closes;
    };
    const std::vector<Case> cases = {
        {"403 Origin", h2_request("POST", "/start", {{"origin", "null"}, {"content-length", "40"}}),
         "403", true},
        {"405 with a body", h2_request("POST", "/ping", {{"content-length", "40"}}), "405", false},
        {"411 no length", h2_request("POST", "/start"), "411", false},
        {"413 too long", h2_request("POST", "/start", {{"content-length", "5000"}}), "413", true},
        {"500 media type",
         h2_request("POST", "/stop", {{"content-type", "text/plain"}, {"content-length", "40"}}),
         "500", false},
    };
    for (const bool part_sent : {true, false}) {
        TestServer server;
        for (Case row : cases) {
            SCOPED_TRACE(std::string(row.name) + (part_sent ? ", part of the body sent" : ""));
            row.request.body = part_sent ? "{\"sessionId\":" : "";  // the rest never comes
            row.request.ends = false;
            // Two streams where the connection carries on. A reply that closes it ends the
            // connection for streams the server has not taken yet, and whether a second stream
            // arrives before that is up to timing, so those rows send one.
            std::vector<H2Request> requests{row.request};
            if (!row.closes) {
                requests.push_back(row.request);
            }
            Http2Client client(server.port);
            const std::vector<H2Reply> replies = client.exchange(requests);
            ASSERT_EQ(replies.size(), requests.size());
            for (const H2Reply& reply : replies) {
                EXPECT_EQ(reply.status, row.status);
                EXPECT_NE(reply.body.find("{\"code\":"), std::string::npos) << reply.body;
                EXPECT_TRUE(reply.reset_without_error);
            }
            EXPECT_EQ(client.goaway, row.closes);
            if (!row.closes) {
                EXPECT_EQ(client.exchange({h2_request("GET", "/logs")})[0].status, "200");
            }
        }
        EXPECT_TRUE(server.core.calls().empty());
    }
}

TEST(HttpServer, Http2ConnectionKeepsNoRecordOfFinishedStreams) {
    TestServer server;
    Http2Client client(server.port);
    const auto requests = [&client](int count) {
        const std::vector<H2Request> batch(100, h2_request("GET", "/logs"));
        for (int i = 0; i < count; i += 100) {
            for (const H2Reply& reply : client.exchange(batch)) {
                ASSERT_EQ(reply.status, "200");
            }
        }
    };
    requests(500);
    const std::size_t after_500 = http::http2_session_blocks_for_testing();
    requests(4500);
    const std::size_t after_5000 = http::http2_session_blocks_for_testing();
    std::printf("nghttp2 heap blocks after 500 requests: %zu, after 5000: %zu\n", after_500,
                after_5000);
    EXPECT_LT(after_5000, after_500 + 50) << "the session keeps a record of each stream";
}

// A client's HTTP/2 frames, made without reading anything back: the preface with SETTINGS, then
// streams that stay open (HEADERS without END_STREAM, then part of a body). What the server
// sends can be fed back to the same session to see it as the client does.
class H2Frames {
  public:
    H2Frames() {
        nghttp2_session_callbacks* callbacks = nullptr;
        nghttp2_session_callbacks_new(&callbacks);
        nghttp2_session_callbacks_set_on_stream_close_callback(callbacks, &on_close);
        // nghttp2 keeps a client to 100 streams until the server's SETTINGS arrive; this client
        // sends them all before that.
        nghttp2_option* option = nullptr;
        nghttp2_option_new(&option);
        nghttp2_option_set_peer_max_concurrent_streams(option, 0xffffffffu);
        nghttp2_session_client_new2(&session_, callbacks, this, option);
        nghttp2_option_del(option);
        nghttp2_session_callbacks_del(callbacks);
    }
    ~H2Frames() { nghttp2_session_del(session_); }
    H2Frames(const H2Frames&) = delete;
    H2Frames& operator=(const H2Frames&) = delete;

    std::string preface() {
        nghttp2_submit_settings(session_, NGHTTP2_FLAG_NONE, nullptr, 0);
        return pending();
    }
    // HEADERS of `request`, then `body` in DATA; the stream is never ended.
    std::string open_stream(const H2Request& request, const std::string& body) {
        std::vector<nghttp2_nv> nva;
        for (const auto& [name, value] : request.headers) {
            nva.push_back({reinterpret_cast<uint8_t*>(const_cast<char*>(name.data())),
                           reinterpret_cast<uint8_t*>(const_cast<char*>(value.data())), name.size(),
                           value.size(), NGHTTP2_NV_FLAG_NONE});
        }
        body_ = body;
        nghttp2_data_provider provider;
        provider.source.ptr = this;
        provider.read_callback = &read_body;
        nghttp2_submit_request(session_, nullptr, nva.data(), nva.size(), &provider, nullptr);
        return pending();
    }
    // Feeds what the server sent; false when the session cannot take it.
    bool receive(const char* data, std::size_t size) {
        return nghttp2_session_mem_recv(session_, reinterpret_cast<const uint8_t*>(data), size) ==
               static_cast<ssize_t>(size);
    }
    std::uint32_t remote_setting(nghttp2_settings_id id) const {
        return nghttp2_session_get_remote_settings(session_, id);
    }

    std::size_t refused = 0;  // streams the server reset with REFUSED_STREAM

  private:
    std::string pending() {
        std::string out;
        const uint8_t* data = nullptr;
        ssize_t n = 0;
        while ((n = nghttp2_session_mem_send(session_, &data)) > 0) {
            out.append(reinterpret_cast<const char*>(data), static_cast<std::size_t>(n));
        }
        return out;
    }
    static ssize_t read_body(nghttp2_session*, int32_t, uint8_t* buf, size_t length, uint32_t*,
                             nghttp2_data_source* source, void*) {
        H2Frames& self = *static_cast<H2Frames*>(source->ptr);
        if (self.body_.empty()) {
            return NGHTTP2_ERR_DEFERRED;
        }
        const std::size_t n = std::min(length, self.body_.size());
        std::memcpy(buf, self.body_.data(), n);
        self.body_.erase(0, n);
        return static_cast<ssize_t>(n);
    }
    static int on_close(nghttp2_session*, int32_t, uint32_t code, void* user) {
        if (code == NGHTTP2_REFUSED_STREAM) {
            ++static_cast<H2Frames*>(user)->refused;
        }
        return 0;
    }

    nghttp2_session* session_ = nullptr;
    std::string body_;
};

std::string h2_frame(std::uint8_t type, std::uint8_t flags, std::uint32_t stream,
                     const std::string& payload) {
    std::string frame;
    const std::size_t length = payload.size();
    frame += static_cast<char>(length >> 16);
    frame += static_cast<char>(length >> 8);
    frame += static_cast<char>(length);
    frame += static_cast<char>(type);
    frame += static_cast<char>(flags);
    for (int shift = 24; shift >= 0; shift -= 8) {
        frame += static_cast<char>(stream >> shift);
    }
    return frame + payload;
}

// Clients that stop sending in the middle of a request hold a drain up for the stall bound at
// most, while a reply that is slow to compute, and a body that keeps coming slowly, finish.
TEST(HttpServer, DrainEndsStalledRequestsAndFinishesSlowReplies) {
    const H2Request h2_start = h2_request(
        "POST", "/start", {{"content-type", "application/json"}, {"content-length", "100"}});
    H2Frames h2_body_some, h2_body_none, h2_no_end_headers;
    struct Case {
        const char* name;
        std::string bytes;
    };
    // The HTTP/1.1 rows get no reply at all; the HTTP/2 ones only the server's SETTINGS and
    // GOAWAY.
    const std::vector<Case> cases = {
        {"HTTP/1.1 head unfinished", "POST /start HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Le"},
        {"HTTP/1.1 body unfinished, none sent",
         "POST /start HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
         "Content-Length: 100\r\n\r\n"},
        {"HTTP/1.1 body unfinished, 10 bytes sent",
         "POST /start HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
         "Content-Length: 100\r\n\r\n{\"address\""},
        {"HTTP/2 body unfinished, 10 bytes sent",
         h2_body_some.preface() + h2_body_some.open_stream(h2_start, "{\"address\"")},
        {"HTTP/2 body unfinished, none sent",
         h2_body_none.preface() + h2_body_none.open_stream(h2_start, "")},
        // :method GET, :scheme http, :path / from the static table; CONTINUATION never follows.
        {"HTTP/2 HEADERS without END_HEADERS",
         h2_no_end_headers.preface() + h2_frame(NGHTTP2_HEADERS, 0, 1, "\x82\x86\x84")},
    };
    TestServer server;
    server.core.ping_hook = [](const std::string&) -> PingOutcome {
        std::this_thread::sleep_for(3s);  // a Core operation slower than the stall bound
        return HelperPath{"slow pong"};
    };
    std::vector<std::unique_ptr<RawClient>> stalled;
    for (const Case& row : cases) {
        stalled.push_back(std::make_unique<RawClient>(server.port));
        stalled.back()->send(row.bytes);
    }
    RawClient slow(server.port);
    slow.send("GET /ping?coreSha256=x HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    const std::string stop_body = "{\"sessionId\":\"" + kSession + "\"}";
    RawClient trickle(server.port);
    trickle.send(
        "POST /stop HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
        "Content-Length: " +
        std::to_string(stop_body.size()) + "\r\n\r\n");
    ASSERT_TRUE(server.core.wait_for_calls(1, "ping"));
    std::this_thread::sleep_for(200ms);  // every stalled request has reached the server

    const auto began = std::chrono::steady_clock::now();
    std::future<void> drained = server.start_drain();
    // The trickling body keeps coming, a piece every 0.5 s for longer than the stall bound.
    std::thread trickler([&] {
        for (std::size_t at = 0; at < stop_body.size(); at += stop_body.size() / 6 + 1) {
            std::this_thread::sleep_for(500ms);
            trickle.send(stop_body.substr(at, stop_body.size() / 6 + 1));
        }
    });
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            http::kStallTime + 1500ms - (std::chrono::steady_clock::now() - began));
        std::string received;
        EXPECT_TRUE(stalled[i]->ends_within(left, received));
        if (std::string_view(cases[i].name).starts_with("HTTP/1.1")) {
            EXPECT_EQ(received, "");
        }
    }
    const std::string slow_reply = slow.read_reply();
    EXPECT_NE(slow_reply.find("slow pong"), std::string::npos) << slow_reply;
    EXPECT_NE(slow_reply.find("connection: close"), std::string::npos) << slow_reply;
    trickler.join();
    const std::string stop_reply = trickle.read_reply();
    EXPECT_NE(stop_reply.find("200 OK"), std::string::npos) << stop_reply;
    slow.socket.close();
    trickle.socket.close();
    // Done with the slowest reply, well before the drain's own deadline.
    EXPECT_EQ(drained.wait_for(1s), std::future_status::ready);
    const auto took = std::chrono::steady_clock::now() - began;
    std::printf("drain with stalled clients took %lld ms\n",
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
    EXPECT_LT(took, kDrainTime - 500ms);
    // Nothing of the stalled requests reached the Core.
    EXPECT_EQ(server.core.calls().size(), 2u);
}

// The drain's own deadline: connections that nothing else ends (here replies whose Core
// operations outlast it) are ended when it passes, with one line in the Helper log for all.
TEST(HttpServer, DrainDeadlineEndsWhatIsLeftAndLogsItOnce) {
    TestServer server;
    server.core.hold();
    RawClient first(server.port);
    first.send("GET /ping?coreSha256=1 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    Http2Client second(server.port);
    second.allow_close = true;
    std::thread h2([&] { second.exchange({h2_request("GET", "/ping?coreSha256=2")}); });
    ASSERT_TRUE(server.core.wait_for_calls(2));

    const auto began = std::chrono::steady_clock::now();
    std::future<void> drained = server.start_drain();
    std::string received;
    EXPECT_TRUE(first.ends_within(kDrainTime + 2s, received));
    const auto ended_after = std::chrono::steady_clock::now() - began;
    EXPECT_GE(ended_after, kDrainTime - 100ms);
    EXPECT_EQ(received, "");
    h2.join();
    EXPECT_TRUE(second.closed);
    EXPECT_EQ(
        count(helper_log_text(), "Helper ended 2 connections still open 5 s after the stop began"),
        1u)
        << helper_log_text();
    // The Core operations still in flight finish on their own; then the drain is done.
    EXPECT_EQ(drained.wait_for(200ms), std::future_status::timeout);
    server.core.release();
    EXPECT_EQ(drained.wait_for(5s), std::future_status::ready);
}

// Writes `bytes` while feeding whatever the server sends to `frames`, until `done` holds; false
// when the server closes first or goes quiet for 3 s.
template <typename Done>
bool pump(RawClient& raw, H2Frames& frames, const std::string& bytes, Done done) {
    std::size_t sent = 0;
    while (sent < bytes.size() || !done()) {
        pollfd fd{raw.socket.native_handle(),
                  static_cast<short>(POLLIN | (sent < bytes.size() ? POLLOUT : 0)), 0};
        if (::poll(&fd, 1, 3000) <= 0) {
            return false;
        }
        if ((fd.revents & POLLIN) != 0) {
            char chunk[65536];
            const ssize_t got = ::recv(fd.fd, chunk, sizeof chunk, 0);
            if (got <= 0 || !frames.receive(chunk, static_cast<std::size_t>(got))) {
                return false;
            }
        }
        if ((fd.revents & POLLOUT) != 0) {
            const ssize_t put = ::send(fd.fd, bytes.data() + sent,
                                       std::min<std::size_t>(bytes.size() - sent, 65536),
                                       MSG_NOSIGNAL | MSG_DONTWAIT);
            if (put > 0) {
                sent += static_cast<std::size_t>(put);
            }
        }
    }
    return true;
}

unsigned long resident_kb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::strtoul(line.c_str() + 6, nullptr, 10);
        }
    }
    return 0;
}

// One connection opens 20,000 streams, each declaring a body it never sends: the server's
// SETTINGS carry the limits, the streams over the limit are refused, and what the connection
// holds stays as it was after the first 1,000.
TEST(HttpServer, Http2ConnectionHoldsNoMoreStreamsThanItAnnounces) {
    TestServer server;
    const H2Request stop = h2_request(
        "POST", "/stop", {{"content-type", "application/json"}, {"content-length", "4000"}});
    // Everything is made before anything is read, so the client never acknowledges the
    // server's SETTINGS and nghttp2 refuses the extra streams one by one.
    H2Frames client;
    std::string first = client.preface();
    for (int i = 0; i < 1000; ++i) {
        first += client.open_stream(stop, "");
    }
    std::string rest;
    for (int i = 1000; i < 20000; ++i) {
        rest += client.open_stream(stop, "");
    }
    RawClient raw(server.port);
    EXPECT_TRUE(pump(raw, client, first, [&] { return client.refused == 900; }));
    const std::size_t blocks_1000 = http::http2_session_blocks_for_testing();
    const unsigned long kb_1000 = resident_kb();
    EXPECT_TRUE(pump(raw, client, rest, [&] { return client.refused == 19900; }));
    const std::size_t blocks_20000 = http::http2_session_blocks_for_testing();
    const unsigned long kb_20000 = resident_kb();
    std::printf(
        "after 1,000 and 20,000 open streams: nghttp2 blocks %zu and %zu, VmRSS %lu and "
        "%lu kB\n",
        blocks_1000, blocks_20000, kb_1000, kb_20000);

    EXPECT_EQ(client.remote_setting(NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS),
              http::kMaxConcurrentStreams);
    EXPECT_EQ(client.remote_setting(NGHTTP2_SETTINGS_MAX_HEADER_LIST_SIZE), http::kHeaderLimit);
    EXPECT_LT(blocks_20000, blocks_1000 + 50) << "streams beyond the limit are held";
    EXPECT_TRUE(server.core.calls().empty());
}

// A head over the header limit gets the same 431 over either protocol; one just under it is
// served.
TEST(HttpServer, HeaderListLimitGetsTheSameReplyOverBothProtocols) {
    const std::string reply_431 =
        "{\"code\":\"invalidRequest\",\"message\":\"invalid request header\"}";
    struct Case {
        const char* name;
        std::size_t pad;
        std::string status;
    };
    const std::vector<Case> cases = {
        {"under the limit", http::kHeaderLimit - 500, "200"},
        {"over the limit", http::kHeaderLimit + 100, "431"},
    };
    TestServer server;
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        const std::string pad(row.pad, 'p');
        RawClient http1(server.port);
        http1.send("GET /logs HTTP/1.1\r\nHost: 127.0.0.1\r\nx-pad: " + pad + "\r\n\r\n");
        const std::string reply = http1.read_reply();
        EXPECT_EQ(reply.substr(0, 12), "HTTP/1.1 " + row.status) << reply.substr(0, 200);

        Http2Client http2(server.port);
        const std::vector<H2Reply> replies =
            http2.exchange({h2_request("GET", "/logs", {{"x-pad", pad}})});
        EXPECT_EQ(replies[0].status, row.status);
        if (row.status == "431") {
            EXPECT_EQ(replies[0].body, reply_431);
            EXPECT_NE(reply.find(reply_431), std::string::npos);
            // The stream alone ends: the connection serves the next request.
            EXPECT_EQ(http2.exchange({h2_request("GET", "/logs")})[0].status, "200");
        }
    }
}

// A submit that nghttp2 refuses ends its stream, or the connection where the stream cannot be
// ended alone; either way nothing is left that holds a drain up.
TEST(HttpServer, Http2FailedSubmitsEndTheStreamOrTheConnection) {
    H2Request continue_request = h2_request("POST", "/stop",
                                            {{"content-type", "application/json"},
                                             {"content-length", "40"},
                                             {"expect", "100-continue"}});
    continue_request.ends = false;  // the body waits for the interim reply, which never comes
    H2Request early_rejection = h2_request("POST", "/ping", {{"content-length", "40"}});
    early_rejection.ends = false;
    struct Case {
        const char* name;
        http::Http2Submit failing;
        H2Request request;
        bool during_drain;     // the submit is the drain's GOAWAY
        bool connection_ends;  // otherwise the stream is reset and the connection carries on
    };
    const std::vector<Case> cases = {
        {"reply", http::Http2Submit::response, h2_request("GET", "/logs"), false, false},
        {"100 Continue", http::Http2Submit::headers, continue_request, false, false},
        {"reset after an early reply", http::Http2Submit::rst_stream, early_rejection, false, true},
        {"SETTINGS", http::Http2Submit::settings, h2_request("GET", "/logs"), false, true},
        {"GOAWAY", http::Http2Submit::goaway, h2_request("GET", "/ping?coreSha256=x"), true, true},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        TestServer server;
        Http2Client client(server.port);
        client.allow_close = true;
        std::future<void> drained;
        std::thread drainer;
        if (row.during_drain) {
            server.core.hold();
            drainer = std::thread([&server, &drained] {
                server.core.wait_for_calls(1);
                http::fail_http2_submits_for_testing(http::Http2Submit::goaway, 1);
                drained = server.start_drain();
            });
        } else {
            http::fail_http2_submits_for_testing(row.failing, 1);
        }
        const auto began = std::chrono::steady_clock::now();
        const std::vector<H2Reply> replies = client.exchange({row.request});
        EXPECT_EQ(client.closed, row.connection_ends);
        // At once, not by the drain's deadline.
        EXPECT_LT(std::chrono::steady_clock::now() - began, kDrainTime - 1s);
        if (!row.connection_ends) {
            EXPECT_EQ(replies[0].status, "");
            EXPECT_EQ(client.close_codes[client.last_ids[0]], NGHTTP2_INTERNAL_ERROR);
            EXPECT_EQ(client.exchange({h2_request("GET", "/logs")})[0].status, "200");
            // An idle connection whose client keeps it: the drain ends it after the linger.
            drained = server.start_drain();
            EXPECT_EQ(drained.wait_for(http::kLingerTime + 1s), std::future_status::ready);
        }
        if (drainer.joinable()) {
            drainer.join();
            // The connection is gone with the reply still owed; the drain waits only for the
            // Core operation in flight.
            server.core.release();
            EXPECT_EQ(drained.wait_for(1s), std::future_status::ready);
        }
        server.core.release();
        http::fail_http2_submits_for_testing(row.failing, 0);
    }
}

}  // namespace
}  // namespace drovane::hub
