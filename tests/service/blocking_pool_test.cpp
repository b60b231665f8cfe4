// The blocking pool: tasks run off the awaiting thread and resume it on its own executor,
// threads are reused and bounded, idle threads end, and a task that throws or is dropped at
// shutdown yields an error instead of a reply.
#include <gtest/gtest.h>

#include <atomic>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_future.hpp>
#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>
#include <vector>

#include "service/blocking_pool.hpp"
#include "service/hub/api/wire.hpp"

namespace drovane::hub {
namespace {

using namespace std::chrono_literals;

// Runs the tasks one after the other in one coroutine; returns each result and the thread the
// coroutine was resumed on after each.
struct SequenceRun {
    std::vector<Result<Reply>> results;
    std::vector<std::thread::id> resumed_on;
};

SequenceRun run_in_sequence(BlockingPool& pool, std::vector<std::function<Reply()>> tasks) {
    boost::asio::io_context io;
    SequenceRun run;
    boost::asio::co_spawn(
        io,
        [&]() -> boost::asio::awaitable<void> {
            for (auto& task : tasks) {
                run.results.push_back(co_await pool.run(task));
                run.resumed_on.push_back(std::this_thread::get_id());
            }
        },
        boost::asio::detached);
    io.run();
    return run;
}

TEST(BlockingPool, SequentialTasksReuseOneThread) {
    BlockingPool pool(8);
    std::vector<std::thread::id> ran_on(3);
    std::vector<std::function<Reply()>> tasks;
    for (int i = 0; i < 3; ++i) {
        tasks.push_back([&ran_on, i] {
            ran_on[i] = std::this_thread::get_id();
            return text_reply(200, std::to_string(i));
        });
    }
    const SequenceRun run = run_in_sequence(pool, tasks);

    ASSERT_EQ(run.results.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(run.results[i].ok());
        EXPECT_EQ(run.results[i]->body, std::to_string(i));
        EXPECT_EQ(run.resumed_on[i], std::this_thread::get_id());  // back on the io thread
    }
    EXPECT_NE(ran_on[0], std::this_thread::get_id());
    EXPECT_EQ(ran_on[1], ran_on[0]);
    EXPECT_EQ(ran_on[2], ran_on[0]);
    EXPECT_EQ(pool.thread_count(), 1u);
}

TEST(BlockingPool, ThrowingTaskYieldsAnError) {
    BlockingPool pool(2);
    const SequenceRun run = run_in_sequence(
        pool, {[]() -> Reply { throw std::runtime_error("disk on fire"); },
               []() -> Reply { throw 42; }, [] { return text_reply(200, "still serving"); }});
    ASSERT_EQ(run.results.size(), 3u);
    ASSERT_FALSE(run.results[0].ok());
    EXPECT_EQ(run.results[0].error().text(), "blocking task failed: disk on fire");
    ASSERT_FALSE(run.results[1].ok());
    EXPECT_EQ(run.results[1].error().text(), "blocking task failed with an unknown exception");
    ASSERT_TRUE(run.results[2].ok());
    EXPECT_EQ(run.results[2]->body, "still serving");
}

TEST(BlockingPool, ConcurrentTasksAreBoundedByTheThreadLimit) {
    BlockingPool pool(2);
    std::atomic<int> running{0};
    std::atomic<int> peak{0};
    auto task = [&] {
        const int now = ++running;
        int seen = peak.load();
        while (now > seen && !peak.compare_exchange_weak(seen, now)) {
        }
        // Held until two run at once, however late the second thread starts, then a while
        // longer: a pool that made a third thread would show it.
        const auto give_up = std::chrono::steady_clock::now() + 20s;
        while (peak.load() < 2 && std::chrono::steady_clock::now() < give_up) {
            std::this_thread::sleep_for(1ms);
        }
        std::this_thread::sleep_for(50ms);
        --running;
        return text_reply(200, "");
    };
    boost::asio::io_context io;
    int done = 0;
    for (int i = 0; i < 5; ++i) {
        boost::asio::co_spawn(
            io,
            [&]() -> boost::asio::awaitable<void> {
                Result<Reply> result = co_await pool.run(task);
                EXPECT_TRUE(result.ok());
                ++done;
            },
            boost::asio::detached);
    }
    io.run();
    EXPECT_EQ(done, 5);
    EXPECT_EQ(peak.load(), 2);
    EXPECT_LE(pool.thread_count(), 2u);
}

TEST(BlockingPool, IdleThreadsEndAndNewOnesAreMade) {
    BlockingPool pool(4, 20ms);
    ASSERT_TRUE(run_in_sequence(pool, {[] { return text_reply(200, ""); }}).results[0].ok());
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (pool.thread_count() != 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(pool.thread_count(), 0u);
    const SequenceRun again = run_in_sequence(pool, {[] { return text_reply(200, "again"); }});
    ASSERT_TRUE(again.results[0].ok());
    EXPECT_EQ(again.results[0]->body, "again");
}

// Shutdown lets the running task finish, drops the queued one with an error, and refuses
// later tasks.
TEST(BlockingPool, ShutdownDropsQueuedTasks) {
    BlockingPool pool(1);
    std::promise<void> started;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    boost::asio::io_context io;
    auto guard = boost::asio::make_work_guard(io);
    std::thread io_thread([&] { io.run(); });

    std::promise<Result<Reply>> first;
    std::promise<Result<Reply>> second;
    auto spawn = [&](std::function<Reply()> task, std::promise<Result<Reply>>& out) {
        boost::asio::co_spawn(
            io,
            [&pool, task, &out]() -> boost::asio::awaitable<void> {
                out.set_value(co_await pool.run(task));
            },
            boost::asio::detached);
    };
    spawn(
        [&] {
            started.set_value();
            released.wait();
            return text_reply(200, "finished");
        },
        first);
    ASSERT_EQ(started.get_future().wait_for(10s), std::future_status::ready);
    spawn([] { return text_reply(200, "never"); }, second);
    // The coroutine submits its task in the handler that starts it; a handler posted after it
    // runs once the task is in the busy one-thread pool's queue.
    boost::asio::post(io, boost::asio::use_future).wait();

    std::thread stopper([&] { pool.shutdown(); });
    auto dropped = second.get_future();
    ASSERT_EQ(dropped.wait_for(10s), std::future_status::ready);
    const Result<Reply> dropped_result = dropped.get();
    ASSERT_FALSE(dropped_result.ok());
    EXPECT_NE(dropped_result.error().text().find("shut down"), std::string::npos);

    release.set_value();
    stopper.join();
    auto finished = first.get_future();
    ASSERT_EQ(finished.wait_for(10s), std::future_status::ready);
    const Result<Reply> finished_result = finished.get();
    ASSERT_TRUE(finished_result.ok());
    EXPECT_EQ(finished_result->body, "finished");

    std::promise<Result<Reply>> late;
    spawn([] { return text_reply(200, "late"); }, late);
    auto late_result = late.get_future();
    ASSERT_EQ(late_result.wait_for(10s), std::future_status::ready);
    EXPECT_FALSE(late_result.get().ok());
    EXPECT_EQ(pool.thread_count(), 0u);

    guard.reset();
    io_thread.join();
}

}  // namespace
}  // namespace drovane::hub
