// The shutdown flag across threads: wake-ups on the waiter's own executor, close, changes made
// before the wait, and a wait that another branch cancels.
#include "service/shutdown_flag.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <chrono>
#include <thread>
#include <vector>

namespace drovane {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;

// An io_context run by a few threads until the test lets it go.
class Workers {
  public:
    explicit Workers(int count) : work_(asio::make_work_guard(io)) {
        for (int i = 0; i < count; ++i) {
            threads_.emplace_back([this] { io.run(); });
        }
    }
    ~Workers() {
        work_.reset();
        io.stop();
        for (std::thread& thread : threads_) {
            thread.join();
        }
    }
    asio::io_context io;

  private:
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    std::vector<std::thread> threads_;
};

bool eventually(const std::atomic<int>& value, int expected) {
    for (int i = 0; i < 500 && value.load() != expected; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    return value.load() == expected;
}

TEST(HttpShutdownFlag, SendAndCloseWakeEveryWaiterOnItsOwnStrand) {
    for (const bool by_close : {false, true}) {
        Workers workers(4);
        auto [sender, receiver] = make_shutdown_flag();
        std::vector<ShutdownReceiver> receivers;
        receivers.push_back(std::move(receiver));
        for (int i = 0; i < 7; ++i) {
            receivers.emplace_back(ShutdownReceiver(nullptr));
        }
        // Only the first receiver belongs to the flag; the others have none and return at once.
        std::atomic<int> woken{0};
        std::atomic<int> on_own_strand{0};
        std::atomic<bool> seen_value{false};
        auto strand = asio::make_strand(workers.io);
        asio::co_spawn(
            strand,
            [&]() -> asio::awaitable<void> {
                co_await receivers[0].changed();
                on_own_strand += strand.running_in_this_thread() ? 1 : 0;
                seen_value = receivers[0].value();
                ++woken;
            },
            asio::detached);
        for (int i = 1; i < 8; ++i) {
            asio::co_spawn(
                workers.io,
                [&, i]() -> asio::awaitable<void> {
                    co_await receivers[i].changed();
                    ++woken;
                },
                asio::detached);
        }
        ASSERT_TRUE(eventually(woken, 7));
        std::this_thread::sleep_for(20ms);
        EXPECT_EQ(woken.load(), 7) << "the flag's waiter woke without a change";
        if (by_close) {
            sender.close();
        } else {
            std::thread([&sender] { sender.send(true); }).join();
        }
        ASSERT_TRUE(eventually(woken, 8));
        EXPECT_EQ(on_own_strand.load(), 1);
        EXPECT_EQ(seen_value.load(), !by_close);
        EXPECT_EQ(receivers[0].closed(), by_close);
    }
}

TEST(HttpShutdownFlag, ChangeBeforeTheWaitCountsAndClosedCompletesAtOnce) {
    asio::io_context io;
    auto [sender, receiver] = make_shutdown_flag();
    EXPECT_FALSE(receiver.value());
    sender.send(true);  // after the look at value(), before the wait
    sender.send(true);
    int completed = 0;
    asio::co_spawn(
        io,
        [&]() -> asio::awaitable<void> {
            co_await receiver.changed();
            ++completed;
            EXPECT_EQ(receiver.version(), 2u);  // every send is a change
            sender.close();
            co_await receiver.changed();  // closed: at once
            co_await receiver.changed();
            ++completed;
        },
        asio::detached);
    io.run();
    EXPECT_EQ(completed, 2);
    EXPECT_TRUE(receiver.closed());
    EXPECT_TRUE(receiver.value());
    sender.send(false);  // a released sender does nothing
    EXPECT_TRUE(receiver.value());
}

TEST(HttpShutdownFlag, WaitWithoutChangeIsCancelledByTheWinningBranch) {
    asio::io_context io;
    auto [sender, receiver] = make_shutdown_flag();
    std::size_t winner = 99;
    asio::co_spawn(
        io,
        [&]() -> asio::awaitable<void> {
            using namespace asio::experimental::awaitable_operators;
            asio::steady_timer timer(io, 50ms);
            auto result = co_await (receiver.changed() || timer.async_wait(asio::use_awaitable));
            winner = result.index();
        },
        asio::detached);
    io.run();  // returns only once the cancelled wait has ended too
    EXPECT_EQ(winner, 1u);
    // The abandoned waiter is gone: a later send wakes nobody and nothing breaks.
    sender.send(true);
    EXPECT_TRUE(receiver.value());
}

TEST(HttpShutdownFlag, SendWithNoReceiverLeftDoesNothing) {
    auto [sender, receiver] = make_shutdown_flag();
    { ShutdownReceiver gone = std::move(receiver); }
    sender.send(true);
    sender.close();
    sender.send(true);
    SUCCEED();
}

}  // namespace
}  // namespace drovane
