// The HTTP connections with the real router on 127.0.0.1, for bench/http_bench.sh: prints the
// port and the size of the GET /logs reply body, serves until standard input closes, then drains.
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/use_future.hpp>
#include <cstdio>
#include <future>
#include <iostream>
#include <string>

#include "service/hub/helper_log.hpp"
#include "service/hub/http_server.hpp"
#include "service/hub/wire.hpp"
#include "service/runtime.hpp"

namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using namespace drovane;

// Only /logs is measured; the Core operations answer without doing anything.
class IdleCore final : public hub::CoreOperations {
  public:
    hub::Reply ping_helper(std::string) override { return hub::text_reply(200, "ok"); }
    hub::Reply start_core(hub::StartParams) override { return hub::text_reply(200, "ok"); }
    hub::Reply stop_core(hub::StopParams) override { return hub::text_reply(200, "ok"); }
    void stop_core_on_shutdown() override {}
};

asio::awaitable<void> accept_loop(tcp::acceptor& acceptor, hub::ConnectionSet& connections) {
    for (;;) {
        auto [ec, socket] = co_await acceptor.async_accept(asio::as_tuple(asio::use_awaitable));
        if (ec) {
            co_return;
        }
        connections.serve(std::move(socket));
    }
}

}  // namespace

int main() {
    Result<std::unique_ptr<Runtime>> created = Runtime::create();
    if (!created) {
        std::fprintf(stderr, "http_bench_server: %s\n", created.error().text().c_str());
        return 1;
    }
    Runtime& runtime = **created;
    // A Helper log of a plausible size: a few dozen lines of the Helper's and the Core's.
    for (int i = 0; i < 40; ++i) {
        hub::append_helper_log("Core stderr line " + std::to_string(i) +
                               ": session started, listening on the pipe address");
    }
    IdleCore core;
    const hub::RequestRouter router(core, runtime.blocking_pool());
    hub::ConnectionSet connections(runtime.executor(), router);
    tcp::acceptor acceptor(asio::make_strand(runtime.executor()),
                           tcp::endpoint(asio::ip::make_address_v4("127.0.0.1"), 0));
    asio::co_spawn(acceptor.get_executor(), accept_loop(acceptor, connections), asio::detached);

    std::printf("%u %zu\n", static_cast<unsigned>(acceptor.local_endpoint().port()),
                hub::read_helper_log().body.size());
    std::fflush(stdout);

    std::string ignored;
    while (std::getline(std::cin, ignored)) {
    }
    std::promise<void> closed;
    asio::post(acceptor.get_executor(), [&] {
        boost::system::error_code ec;
        acceptor.close(ec);
        closed.set_value();
    });
    closed.get_future().wait();
    asio::co_spawn(runtime.executor(), connections.drain(), asio::use_future).wait();
    runtime.shutdown();
    return 0;
}
