// The HTTP connections with the real router over loopback, a recording Core double behind it, and
// every connection admitted by a small test acceptor. The clients are curl and nghttp.
#include "service/hub/http_server.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
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
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "service/hub/helper_log.hpp"
#include "service/hub/wire.hpp"
#include "service/runtime.hpp"

namespace drovane::hub {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using namespace std::chrono_literals;

// Records every operation; ping can be held until the test releases it.
class RecordingCore final : public CoreOperations {
  public:
    Reply ping_helper(std::string core_sha256) override {
        std::unique_lock<std::mutex> lock(mutex_);
        calls_.push_back("ping " + core_sha256);
        changed_.notify_all();
        changed_.wait(lock, [this] { return !hold_; });
        return text_reply(200, "pong");
    }
    Reply start_core(StartParams params) override {
        record("start " + params.address + " " + params.session_id);
        return json_reply(200, StartReply{params.session_id, 42});
    }
    Reply stop_core(StopParams params) override {
        record("stop " + params.session_id);
        return json_reply(200, StopReply{params.session_id, true, std::nullopt});
    }
    void stop_core_on_shutdown() override {}

    void hold() {
        std::lock_guard<std::mutex> lock(mutex_);
        hold_ = true;
    }
    void release() {
        std::lock_guard<std::mutex> lock(mutex_);
        hold_ = false;
        changed_.notify_all();
    }
    bool wait_for_calls(std::size_t count) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, 10s, [&] { return calls_.size() >= count; });
    }
    std::vector<std::string> calls() {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }

  private:
    void record(std::string call) {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.push_back(std::move(call));
        changed_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> calls_;
    bool hold_ = false;
};

// A runtime, the router over the recording Core, and an acceptor on 127.0.0.1 that hands every
// connection to the connection set.
class TestServer {
  public:
    TestServer()
        : runtime_(std::move(Runtime::create()).value()),
          router_(core, runtime_->blocking_pool()),
          connections_(runtime_->executor(), router_),
          acceptor_(asio::make_strand(runtime_->executor()),
                    tcp::endpoint(asio::ip::make_address_v4("127.0.0.1"), 0)) {
        port = acceptor_.local_endpoint().port();
        asio::co_spawn(acceptor_.get_executor(), accept_loop(), asio::detached);
    }
    ~TestServer() {
        if (!drained_) {
            start_drain().wait_for(20s);
        }
        runtime_->shutdown();
    }

    // Stops accepting and drains; the future is ready once every connection has ended.
    std::future<void> start_drain() {
        drained_ = true;
        asio::post(acceptor_.get_executor(), asio::use_future([this] {
                       boost::system::error_code ignored;
                       acceptor_.close(ignored);
                   }))
            .wait();
        // The drain runs on a strand, so a marker posted after it runs once the drain has asked
        // every connection to shut down: a reply released after this returns closes its
        // connection.
        auto strand = asio::make_strand(runtime_->executor());
        std::future<void> drained = asio::co_spawn(strand, connections_.drain(), asio::use_future);
        asio::post(strand, asio::use_future).wait();
        return drained;
    }

    // Serves a connection once draining has started, as a late accept would.
    void serve_late(tcp::socket socket) { connections_.serve(std::move(socket)); }

    asio::any_io_executor executor() { return runtime_->executor(); }
    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port) + path;
    }

    RecordingCore core;
    std::uint16_t port = 0;
    std::atomic<int> accepted{0};

  private:
    asio::awaitable<void> accept_loop() {
        for (;;) {
            auto [ec, socket] =
                co_await acceptor_.async_accept(asio::as_tuple(asio::use_awaitable));
            if (ec) {
                co_return;
            }
            ++accepted;
            connections_.serve(std::move(socket));
        }
    }

    std::unique_ptr<Runtime> runtime_;
    RequestRouter router_;
    ConnectionSet connections_;
    tcp::acceptor acceptor_;
    bool drained_ = false;
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
         {"< HTTP/1.1 100 Continue", "\"pid\":42"}},
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
    const Reply expected = read_helper_log();
    for (int i = 0; i < 2; ++i) {
        const std::string reply = client.read_reply();
        std::string head = "HTTP/1.1 200 OK\r\n";
        for (const Header& header : expected.headers) {
            head += header.name + ": " + header.value + "\r\n";
        }
        head += "content-length: " + std::to_string(expected.body.size()) + "\r\n\r\n";
        EXPECT_EQ(reply, head + expected.body);
    }
    // A message the HTTP layer cannot parse gets 400 and the connection closes.
    client.send("GET /logs HTTP/1.1\r\nContent-Length: abc\r\n\r\n");
    EXPECT_EQ(client.read_reply(),
              "HTTP/1.1 400 Bad Request\r\ncontent-length: 0\r\nconnection: close\r\n\r\n");
    EXPECT_TRUE(client.closed_within(5s));
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
    EXPECT_EQ(server.core.calls().back(), "stop " + kSession);

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

}  // namespace
}  // namespace drovane::hub
