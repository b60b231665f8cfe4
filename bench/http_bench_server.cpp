// The HTTP connections with the real router on 127.0.0.1, for bench/http_bench.sh and
// bench/http_soak.sh: prints the port and the size of the GET /logs reply body, serves until
// standard input closes, then drains. Given request counts as arguments (http_soak.sh), it also
// prints "<count> <VmRSS in kB>" once the count-th GET /ping has reached the Core operations.
#include <algorithm>
#include <atomic>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/use_future.hpp>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

#include "service/hub/api/wire.hpp"
#include "service/hub/helper_log.hpp"
#include "service/hub/http/http_server.hpp"
#include "service/runtime.hpp"

namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using namespace drovane;

// The resident set of this process in kB, from /proc/self/status; 0 if it cannot be read.
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

// The Core operations answer without doing anything; pings are counted, and at each count the
// soak asked for the resident set is printed.
class IdleCore final : public hub::CoreOperations {
  public:
    explicit IdleCore(std::vector<unsigned long> report_at) : report_at_(std::move(report_at)) {}

    hub::PingOutcome ping_helper(std::string) override {
        const unsigned long count = ++pings_;
        if (std::find(report_at_.begin(), report_at_.end(), count) != report_at_.end()) {
            std::lock_guard<std::mutex> lock(print_);
            std::printf("%lu %lu\n", count, resident_kb());
            std::fflush(stdout);
        }
        return hub::HelperPath{"ok"};
    }
    hub::StartOutcome start_core(hub::StartParams) override { return hub::CoreStarted{}; }
    hub::StopOutcome stop_core(hub::StopParams) override { return hub::CoreStopped::not_running; }
    void stop_core_on_shutdown() override {}

  private:
    const std::vector<unsigned long> report_at_;
    std::atomic<unsigned long> pings_{0};
    std::mutex print_;
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

int main(int argc, char** argv) {
    std::vector<unsigned long> report_at;
    for (int i = 1; i < argc; ++i) {
        report_at.push_back(std::strtoul(argv[i], nullptr, 10));
    }
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
    IdleCore core(std::move(report_at));
    const hub::RequestRouter router(core, runtime.blocking_pool());
    hub::ConnectionSet connections(runtime.executor(), router);
    tcp::acceptor acceptor(asio::make_strand(runtime.executor()),
                           tcp::endpoint(asio::ip::make_address_v4("127.0.0.1"), 0));
    asio::co_spawn(acceptor.get_executor(), accept_loop(acceptor, connections), asio::detached);

    std::printf("%u %zu\n", static_cast<unsigned>(acceptor.local_endpoint().port()),
                hub::helper_log_text().size());
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
