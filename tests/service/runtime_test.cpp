// The task runtime: its workers run posted work and coroutines, the blocking pool beside them
// runs blocking tasks, and shutdown stops and joins everything, dropping what is still queued.
#include "service/runtime.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_future.hpp>
#include <chrono>
#include <stdexcept>
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

// A runtime with no worker of its own is driven by the thread in run_until_done alone: the task
// runs there, blocking-pool completions come back to it, and its outcome is returned.
TEST(HttpRuntime, RunUntilDoneServesOnTheCallingThread) {
    struct Case {
        const char* name;
        bool fails;
        bool throws;
        const char* error;  // the outermost message expected, or none
    };
    const Case cases[] = {
        {"succeeds", false, false, nullptr},
        {"fails", true, false, "task failed"},
        {"throws", false, true, "the task failed abnormally"},
    };
    for (const Case& c : cases) {
        Result<std::unique_ptr<Runtime>> created = Runtime::create(0);
        ASSERT_TRUE(created.ok()) << created.error().text();
        Runtime& runtime = **created;
        const std::thread::id caller = std::this_thread::get_id();
        std::thread::id ran_on;
        Status done = runtime.run_until_done([&]() -> asio::awaitable<Status> {
            Result<hub::Reply> reply =
                co_await runtime.blocking_pool().run([] { return hub::text_reply(200, "ok"); });
            EXPECT_TRUE(reply.ok()) << c.name;
            ran_on = std::this_thread::get_id();
            if (c.throws) {
                throw std::runtime_error("thrown");
            }
            co_return c.fails ? Status(Error("task failed")) : Status();
        }());
        EXPECT_EQ(ran_on, caller) << c.name;
        if (c.error == nullptr) {
            EXPECT_TRUE(done.ok()) << c.name << ": " << done.error().text();
        } else {
            ASSERT_FALSE(done.ok()) << c.name;
            EXPECT_EQ(done.error().message(), c.error) << c.name;
        }
        runtime.shutdown();
    }
}

}  // namespace
}  // namespace drovane
