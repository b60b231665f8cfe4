// The blocking pool: a queue of jobs served by threads that are made when every existing one is
// busy, up to the bound, and that end after a while without work. The awaiting coroutine is
// suspended in async_initiate; the job posts its completion back to the coroutine's executor.
#include "service/hub/blocking_pool.hpp"

#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <condition_variable>
#include <deque>
#include <exception>
#include <list>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace drovane::hub {
namespace {

constexpr std::chrono::seconds kDefaultIdleTimeout{10};

// One queued task and the completion it owes its awaiter. A job that is destroyed before it
// completed (dropped at shutdown, or lost on any other path) completes with an error, so an
// awaiter is never left suspended.
class Job {
  public:
    explicit Job(std::function<Reply()> task) : task_(std::move(task)) {}
    Job(const Job&) = delete;
    Job& operator=(const Job&) = delete;
    virtual ~Job() = default;

    virtual void complete(Result<Reply> result) = 0;

    // Runs the task on the calling pool thread: its reply, or the failure it ended with.
    Result<Reply> run_task() {
        try {
            return task_();
        } catch (const std::exception& e) {
            return Error(std::string("blocking task failed: ") + e.what());
        } catch (...) {
            return Error("blocking task failed with an unknown exception");
        }
    }

  private:
    std::function<Reply()> task_;
};

Error dropped_task_error() {
    return Error("blocking task was cancelled: the blocking pool shut down");
}

template <typename Handler>
class HandlerJob final : public Job {
  public:
    HandlerJob(std::function<Reply()> task, Handler handler)
        : Job(std::move(task)),
          work_(boost::asio::make_work_guard(handler)),
          handler_(std::move(handler)) {}

    ~HandlerJob() override {
        if (!completed_) {
            complete(dropped_task_error());
        }
    }

    void complete(Result<Reply> result) override {
        if (completed_) {
            return;
        }
        completed_ = true;
        try {
            // Resume the awaiter on its own executor, never on this pool thread.
            auto executor = work_.get_executor();
            boost::asio::post(
                executor, [handler = std::move(handler_), result = std::move(result)]() mutable {
                    std::move(handler)(std::move(result));
                });
        } catch (...) {
            // Posting fails only when memory runs out; the awaiter is then abandoned.
        }
        work_.reset();
    }

  private:
    boost::asio::executor_work_guard<boost::asio::associated_executor_t<Handler>> work_;
    Handler handler_;
    bool completed_ = false;
};

}  // namespace

struct BlockingPool::State {
    std::size_t max_threads;
    std::chrono::milliseconds idle_timeout;

    std::mutex lock;
    std::condition_variable wake;
    std::deque<std::unique_ptr<Job>> queue;
    std::list<std::thread> threads;     // every thread not yet joined
    std::vector<std::thread> finished;  // threads that ended on idle, to be joined
    std::size_t busy = 0;               // threads running a task
    bool stopping = false;

    void submit(std::unique_ptr<Job> job);
    void worker(std::list<std::thread>::iterator self);
    void reap();
};

void BlockingPool::State::submit(std::unique_ptr<Job> job) {
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
                    std::unique_ptr<Job> orphan = std::move(queue.back());
                    queue.pop_back();
                    guard.unlock();
                    orphan->complete(Error("blocking task could not start: no thread available"));
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
            std::unique_ptr<Job> job = std::move(queue.front());
            queue.pop_front();
            ++busy;
            guard.unlock();
            Result<Reply> result = job->run_task();
            // Free again before the awaiter resumes, so that a task it submits next finds
            // this thread instead of making a new one.
            guard.lock();
            --busy;
            guard.unlock();
            job->complete(std::move(result));
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
    std::deque<std::unique_ptr<Job>> dropped;
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

boost::asio::awaitable<Result<Reply>> BlockingPool::run(std::function<Reply()> task) {
    State* state = state_.get();
    co_return co_await boost::asio::async_initiate<const boost::asio::use_awaitable_t<>&,
                                                   void(Result<Reply>)>(
        [state](auto handler, std::function<Reply()> task) {
            using Handler = decltype(handler);
            state->submit(
                std::make_unique<HandlerJob<Handler>>(std::move(task), std::move(handler)));
        },
        boost::asio::use_awaitable, std::move(task));
}

}  // namespace drovane::hub
