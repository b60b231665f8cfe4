// The blocking pool: a queue of jobs served by threads that are made when every existing one is
// busy, up to the bound, and that end after a while without work. The awaiting coroutine is
// suspended in async_initiate; the job posts its completion back to the coroutine's executor.
#include "service/blocking_pool.hpp"

#include <condition_variable>
#include <deque>
#include <list>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace drovane {
namespace {

constexpr std::chrono::seconds kDefaultIdleTimeout{10};

}  // namespace

namespace detail {

Error dropped_task_error() {
    return Error("blocking task was cancelled: the blocking pool shut down");
}

}  // namespace detail

struct BlockingPool::State {
    std::size_t max_threads;
    std::chrono::milliseconds idle_timeout;

    std::mutex lock;
    std::condition_variable wake;
    std::deque<std::unique_ptr<detail::PoolJob>> queue;
    std::list<std::thread> threads;     // every thread not yet joined
    std::vector<std::thread> finished;  // threads that ended on idle, to be joined
    std::size_t busy = 0;               // threads running a task
    bool stopping = false;

    void submit(std::unique_ptr<detail::PoolJob> job);
    void worker(std::list<std::thread>::iterator self);
    void reap();
};

void BlockingPool::State::submit(std::unique_ptr<detail::PoolJob> job) {
    std::vector<std::thread> to_join;
    {
        std::unique_lock guard(lock);
        if (stopping) {
            guard.unlock();
            job.reset();  // completes with the shutdown error
            return;
        }
        queue.push_back(std::move(job));
        to_join.swap(finished);
        if (queue.size() > threads.size() - busy && threads.size() < max_threads) {
            // Every thread that is not running a task is already spoken for: add one.
            threads.emplace_front();
            auto self = threads.begin();
            try {
                *self = std::thread([this, self] { worker(self); });
            } catch (...) {
                // No new thread: the job waits for a thread that exists, or fails if none does.
                threads.erase(self);
                if (threads.empty()) {
                    std::unique_ptr<detail::PoolJob> orphan = std::move(queue.back());
                    queue.pop_back();
                    guard.unlock();
                    orphan->fail(Error("blocking task could not start: no thread available"));
                    for (std::thread& t : to_join) {
                        t.join();
                    }
                    return;
                }
            }
        } else {
            wake.notify_one();
        }
    }
    for (std::thread& t : to_join) {
        t.join();
    }
}

void BlockingPool::State::worker(std::list<std::thread>::iterator self) {
    std::unique_lock guard(lock);
    for (;;) {
        const bool woken =
            wake.wait_for(guard, idle_timeout, [this] { return stopping || !queue.empty(); });
        if (!queue.empty() && !stopping) {
            std::unique_ptr<detail::PoolJob> job = std::move(queue.front());
            queue.pop_front();
            ++busy;
            guard.unlock();
            job->run();
            // Free again before the awaiter resumes, so that a task it submits next finds
            // this thread instead of making a new one.
            guard.lock();
            --busy;
            guard.unlock();
            job->complete();
            job.reset();
            guard.lock();
            continue;
        }
        if (stopping) {
            return;  // shutdown joins this thread
        }
        if (!woken) {
            // Idle for the whole timeout: end, and leave the join to the next submit or the
            // shutdown.
            finished.push_back(std::move(*self));
            threads.erase(self);
            return;
        }
    }
}

BlockingPool::BlockingPool(std::size_t max_threads)
    : BlockingPool(max_threads, kDefaultIdleTimeout) {}

BlockingPool::BlockingPool(std::size_t max_threads, std::chrono::milliseconds idle_timeout)
    : state_(std::make_unique<State>()) {
    state_->max_threads = max_threads == 0 ? 1 : max_threads;
    state_->idle_timeout = idle_timeout;
}

BlockingPool::~BlockingPool() {
    shutdown();
}

void BlockingPool::shutdown() {
    std::deque<std::unique_ptr<detail::PoolJob>> dropped;
    std::list<std::thread> running;
    std::vector<std::thread> finished;
    {
        std::lock_guard guard(state_->lock);
        state_->stopping = true;
        dropped.swap(state_->queue);
        running.swap(state_->threads);
        finished.swap(state_->finished);
    }
    state_->wake.notify_all();
    dropped.clear();  // each completes its awaiter with the shutdown error
    // Tasks in progress run to their end; their threads then see the stop and return.
    for (std::thread& t : running) {
        if (t.joinable()) {
            t.join();
        }
    }
    for (std::thread& t : finished) {
        t.join();
    }
}

std::size_t BlockingPool::thread_count() const {
    std::lock_guard guard(state_->lock);
    return state_->threads.size();
}

void BlockingPool::submit(std::unique_ptr<detail::PoolJob> job) {
    state_->submit(std::move(job));
}

}  // namespace drovane
