// What the fuzz targets share: a Core double that does nothing, the router it feeds, and a
// loopback exchange that serves one connection carrying the fuzzer's bytes.
#pragma once

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <string_view>

#include "fakes/recording_core.hpp"
#include "service/blocking_pool.hpp"
#include "service/hub/api/router.hpp"
#include "service/hub/api/wire.hpp"
#include "service/hub/core_operations.hpp"
#include "service/hub/http/http_server.hpp"

namespace drovane::fuzz {

namespace asio = boost::asio;
using asio::ip::tcp;

// Stops the run with a finding that libFuzzer reports with the input that caused it.
[[noreturn]] inline void finding(const char* what) {
    std::fprintf(stderr, "finding: %s\n", what);
    std::abort();
}

// Made once per fuzzing process: the listener that every exchange connects through.
struct Listener {
    asio::io_context io;  // never run: the acceptor is used synchronously
    tcp::acceptor acceptor{io, tcp::endpoint(asio::ip::make_address_v4("127.0.0.1"), 0)};

    static Listener& get() {
        static Listener listener;
        return listener;
    }
};

// What one input runs on. The pool is made per input, after the io_context, so that it is
// destroyed first: its threads are joined before the io_context they resume on goes away (a
// pool thread may still hold a copy of a caller's executor just after its completion).
struct Session {
    // Every operation is answered at once; stop as when no Core runs.
    Session() {
        core.stop_hook = [](const hub::StopParams&) { return hub::CoreStopped::not_running; };
    }

    asio::io_context io;
    hub::testing::RecordingCore core;
    BlockingPool pool{8};
    hub::RequestRouter router{core, pool};
};

// How long the server may keep a connection open after its client has sent everything and shut
// its sending side: every reply is then due, and a server that still holds the connection would
// hold it for good.
inline constexpr std::chrono::seconds kServerCloseBound{5};

namespace detail {

inline asio::awaitable<void> act_as_client(tcp::socket& client, std::string_view input,
                                           std::string& output, bool& closed_by_server) {
    using namespace asio::experimental::awaitable_operators;
    const auto token = asio::as_tuple(asio::use_awaitable);
    // The server may close before it has read everything (a reply that ends the connection):
    // a failed write is then no fault, and what it sent is still read below.
    co_await asio::async_write(client, asio::buffer(input), token);
    boost::system::error_code ignored;
    client.shutdown(tcp::socket::shutdown_send, ignored);

    asio::steady_timer deadline(client.get_executor(), kServerCloseBound);
    auto read_all = [&]() -> asio::awaitable<void> {
        char chunk[4096];
        for (;;) {
            auto [ec, n] = co_await client.async_read_some(asio::buffer(chunk), token);
            output.append(chunk, n);
            if (ec) {
                closed_by_server = true;
                co_return;
            }
        }
    };
    co_await (read_all() || deadline.async_wait(token));
}

}  // namespace detail

// Serves one connection through ConnectionSet::serve: the client sends `input`, shuts its sending
// side and reads until the server closes; then the set is drained. Returns what the server sent.
inline std::string exchange(std::string_view input) {
    tcp::acceptor& acceptor = Listener::get().acceptor;
    Session session;
    asio::io_context& io = session.io;
    tcp::socket client(io);
    boost::system::error_code ec;
    // The client's side ends in TIME_WAIT (it sends the first FIN), which keeps its port for a
    // minute: a long run would use up the ports of one address, so each exchange comes from the
    // next address of 127.1.0.0/16.
    static std::uint16_t next_client = 0;
    const asio::ip::address_v4 from(asio::ip::address_v4::uint_type{0x7F010000u} | next_client++);
    client.open(tcp::v4(), ec);
    if (!ec) {
        client.bind(tcp::endpoint(from, 0), ec);
    }
    // libFuzzer's timer signal now and then interrupts these blocking calls: an interrupted
    // connect goes on in the kernel and is asked again until it is done; an interrupted accept
    // has taken nothing and is just tried again.
    if (!ec) {
        client.connect(acceptor.local_endpoint(), ec);
        for (int tries = 0;
             tries < 1000 && (ec == asio::error::interrupted || ec == asio::error::already_started);
             ++tries) {
            client.connect(acceptor.local_endpoint(), ec);
        }
        if (ec == asio::error::already_connected) {
            ec.clear();
        }
    }
    if (ec) {
        // The harness, not the server, is broken.
        std::fprintf(stderr, "loopback connect: %s\n", ec.message().c_str());
        finding("loopback connect failed");
    }
    tcp::socket server(io);
    do {
        server = acceptor.accept(io, ec);
    } while (ec == asio::error::interrupted);
    if (ec) {
        std::fprintf(stderr, "loopback accept: %s\n", ec.message().c_str());
        finding("loopback accept failed");
    }

    std::string output;
    bool closed_by_server = false;
    bool finished = false;
    // Not owned: the session outlives this io_context's run, which ends every connection task.
    hub::ConnectionSet connections(
        io.get_executor(),
        std::shared_ptr<const hub::RequestRouter>(std::shared_ptr<void>(), &session.router));
    connections.serve(std::move(server));
    auto run = [&]() -> asio::awaitable<void> {
        co_await detail::act_as_client(client, input, output, closed_by_server);
        boost::system::error_code ignored;
        client.close(ignored);
        co_await connections.drain();
    };
    asio::co_spawn(io, run(), [&](std::exception_ptr failure) {
        if (failure) {
            finding("the client side of the exchange threw");
        }
        finished = true;
    });
    io.run();
    if (!finished) {
        finding("the drain never completed");
    }
    if (!closed_by_server) {
        finding("the server kept the connection open after its client had ended");
    }
    return output;
}

}  // namespace drovane::fuzz
