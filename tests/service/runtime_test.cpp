// The task runtime: its workers run posted work and coroutines, the blocking pool beside them
// runs blocking tasks, and shutdown stops and joins everything, dropping what is still queued.
#include "service/runtime.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_future.hpp>
#include <chrono>
#include <thread>

#include "service/hub/api/wire.hpp"

namespace drovane {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;

TEST(HttpRuntime, RunsCoroutinesAndBlockingTasksThenShutsDown) {
    Result<std::unique_ptr<Runtime>> created = Runtime::create();
    ASSERT_TRUE(created.ok()) << created.error().text();
    Runtime& runtime = **created;

    auto future = asio::co_spawn(
        runtime.executor(),
        [&]() -> asio::awaitable<std::thread::id> {
            Result<hub::Reply> reply = co_await runtime.blocking_pool().run(
                [] { return hub::text_reply(200, "from the pool"); });
            EXPECT_TRUE(reply.ok());
            if (reply.ok()) {
                EXPECT_EQ(reply->body, "from the pool");
            }
            co_return std::this_thread::get_id();
        },
        asio::use_future);
    ASSERT_EQ(future.wait_for(10s), std::future_status::ready);
    EXPECT_NE(future.get(), std::this_thread::get_id());

    runtime.shutdown();
    std::atomic<bool> ran{false};
    asio::post(runtime.executor(), [&ran] { ran = true; });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(ran.load()) << "work queued after shutdown ran";
    runtime.shutdown();  // a second shutdown does nothing
}

}  // namespace
}  // namespace drovane
