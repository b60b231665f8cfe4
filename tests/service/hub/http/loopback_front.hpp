// The Helper's HTTP front for tests: a runtime, the real router over the recording Core, the real
// connection set, and an acceptor on 127.0.0.1 that admits every connection (the owner check is
// tested elsewhere).
#pragma once

#include <atomic>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/use_future.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <string>

#include "fakes/recording_core.hpp"
#include "service/hub/api/router.hpp"
#include "service/hub/helper_log.hpp"
#include "service/hub/http/http_server.hpp"
#include "service/runtime.hpp"

namespace drovane::hub::testing {

class LoopbackFront {
  public:
    // On `port`, or on one the system picks (0); `port` tells which. `prepare` sets up the Core
    // double before the first accept, so that what it sets is seen by every request's thread.
    // `log` receives what the drain writes.
    explicit LoopbackFront(std::uint16_t port = 0,
                           const std::function<void(RecordingCore&)>& prepare = {},
                           HelperLogList& log = process_helper_log())
        : runtime_(std::move(Runtime::create()).value()),
          router_(std::make_shared<const RequestRouter>(core, runtime_->blocking_pool())),
          connections_(runtime_->executor(), router_, log),
          acceptor_(
              boost::asio::make_strand(runtime_->executor()),
              boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address_v4("127.0.0.1"), port)) {
        this->port = acceptor_.local_endpoint().port();
        if (prepare) {
            prepare(core);
        }
        boost::asio::co_spawn(acceptor_.get_executor(), accept_loop(), boost::asio::detached);
    }
    LoopbackFront(const LoopbackFront&) = delete;
    LoopbackFront& operator=(const LoopbackFront&) = delete;
    ~LoopbackFront() {
        if (!drained_) {
            start_drain().wait_for(std::chrono::seconds(20));
        }
        runtime_->shutdown();
    }

    // Stops accepting and drains; the future is ready once every connection has ended.
    std::future<void> start_drain() {
        drained_ = true;
        boost::asio::post(acceptor_.get_executor(), boost::asio::use_future([this] {
                              boost::system::error_code ignored;
                              acceptor_.close(ignored);
                          }))
            .wait();
        // The drain runs on a strand, so a marker posted after it runs once the drain has asked
        // every connection to shut down: a reply released after this returns closes its
        // connection.
        auto strand = boost::asio::make_strand(runtime_->executor());
        std::future<void> drained =
            boost::asio::co_spawn(strand, connections_.drain(), boost::asio::use_future);
        boost::asio::post(strand, boost::asio::use_future).wait();
        return drained;
    }

    // Serves a connection once draining has started, as a late accept would.
    void serve_late(boost::asio::ip::tcp::socket socket) { connections_.serve(std::move(socket)); }

    boost::asio::any_io_executor executor() { return runtime_->executor(); }
    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port) + path;
    }

    RecordingCore core;
    std::uint16_t port = 0;
    std::atomic<int> accepted{0};

  private:
    boost::asio::awaitable<void> accept_loop() {
        for (;;) {
            auto [ec, socket] =
                co_await acceptor_.async_accept(boost::asio::as_tuple(boost::asio::use_awaitable));
            if (ec) {
                co_return;
            }
            ++accepted;
            connections_.serve(std::move(socket));
        }
    }

    std::unique_ptr<Runtime> runtime_;
    std::shared_ptr<const RequestRouter> router_;
    ConnectionSet connections_;
    boost::asio::ip::tcp::acceptor acceptor_;
    bool drained_ = false;
};

}  // namespace drovane::hub::testing
