// The pool for blocking work (hashing, process creation, waiting for a process). Threads are made
// on demand up to a bound and reused while idle; an awaiting coroutine holds no thread of the
// runtime while its task runs.
#pragma once

#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <chrono>
#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "error.hpp"

namespace drovane {

namespace detail {

// One queued task as the pool's threads see it: run it, then complete its awaiter. A job that is
// destroyed before it completed (dropped at shutdown, or lost on any other path) completes with
// an error, so an awaiter is never left suspended.
class PoolJob {
  public:
    PoolJob() = default;
    PoolJob(const PoolJob&) = delete;
    PoolJob& operator=(const PoolJob&) = delete;
    virtual ~PoolJob() = default;

    // Runs the task on the calling pool thread and keeps its result (or the failure it ended
    // with) for complete().
    virtual void run() noexcept = 0;
    // Resumes the awaiter with the kept result; once only.
    virtual void complete() noexcept = 0;
    // Resumes the awaiter with `failure`, the task not having run.
    virtual void fail(Error failure) noexcept = 0;
};

Error dropped_task_error();

template <typename T, typename Handler>
class PoolHandlerJob final : public PoolJob {
  public:
    PoolHandlerJob(std::function<T()> task, Handler handler)
        : task_(std::move(task)),
          work_(boost::asio::make_work_guard(handler)),
          handler_(std::move(handler)) {}

    ~PoolHandlerJob() override { fail(dropped_task_error()); }

    void run() noexcept override {
        try {
            result_.emplace(task_());
        } catch (const std::exception& e) {
            result_.emplace(Error(std::string("blocking task failed: ") + e.what()));
        } catch (...) {
            result_.emplace(Error("blocking task failed with an unknown exception"));
        }
    }

    void fail(Error failure) noexcept override {
        if (!completed_ && !result_) {
            try {
                result_.emplace(std::move(failure));
            } catch (...) {
                // Out of memory: the awaiter is abandoned, as below.
            }
        }
        complete();
    }

    void complete() noexcept override {
        if (completed_ || !result_) {
            return;
        }
        completed_ = true;
        try {
            Result<T> result = std::move(*result_);
            // Resume the awaiter on its own executor, never on a pool thread.
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
    std::function<T()> task_;
    std::optional<Result<T>> result_;
    boost::asio::executor_work_guard<boost::asio::associated_executor_t<Handler>> work_;
    Handler handler_;
    bool completed_ = false;
};

}  // namespace detail

class BlockingPool {
  public:
    static constexpr std::size_t kMaxThreads = 512;

    explicit BlockingPool(std::size_t max_threads = kMaxThreads);
    // A thread that waited `idle_timeout` without work ends; the next task makes a new one.
    BlockingPool(std::size_t max_threads, std::chrono::milliseconds idle_timeout);
    BlockingPool(const BlockingPool&) = delete;
    BlockingPool& operator=(const BlockingPool&) = delete;
    // Shuts down: queued tasks are dropped (their awaiters see a failure), threads are joined.
    ~BlockingPool();

    // Runs `task` on a pool thread and resumes the caller on its own executor. A task that throws,
    // or is dropped at shutdown, yields an error whose text describes the failure.
    template <typename Task, typename T = std::invoke_result_t<Task&>>
    boost::asio::awaitable<Result<T>> run(Task task) {
        co_return co_await boost::asio::async_initiate<const boost::asio::use_awaitable_t<>&,
                                                       void(Result<T>)>(
            [this](auto handler, std::function<T()> task) {
                submit(std::make_unique<detail::PoolHandlerJob<T, decltype(handler)>>(
                    std::move(task), std::move(handler)));
            },
            boost::asio::use_awaitable, std::function<T()>(std::move(task)));
    }

    void shutdown();

    // The number of threads alive now (busy or idle).
    std::size_t thread_count() const;

  private:
    void submit(std::unique_ptr<detail::PoolJob> job);

    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace drovane
