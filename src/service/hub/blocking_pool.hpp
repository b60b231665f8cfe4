// The pool for blocking work (hashing, process creation, waiting for a process). Threads are made
// on demand up to a bound and reused while idle; an awaiting coroutine holds no thread of the
// runtime while its task runs.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>

#include "error.hpp"
#include "service/hub/request.hpp"

namespace drovane::hub {

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
    boost::asio::awaitable<Result<Reply>> run(std::function<Reply()> task);

    void shutdown();

    // The number of threads alive now (busy or idle).
    std::size_t thread_count() const;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace drovane::hub
