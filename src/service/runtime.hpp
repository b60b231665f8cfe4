// The task runtime of a service run: worker threads (one per logical processor, at least one)
// driving asynchronous I/O and timers, and the blocking pool beside them.
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <memory>

#include "error.hpp"
#include "service/blocking_pool.hpp"

namespace drovane {

class Runtime {
  public:
    // One worker thread per logical processor.
    static Result<std::unique_ptr<Runtime>> create();
    // `workers` threads of its own (none: only a thread in run_until_done drives it).
    static Result<std::unique_ptr<Runtime>> create(unsigned workers);
    // The logical processors of this machine, at least one.
    static unsigned processor_count();
    Runtime(const Runtime&) = delete;
    Runtime& operator=(const Runtime&) = delete;
    ~Runtime();  // shuts down

    boost::asio::any_io_executor executor();
    BlockingPool& blocking_pool();

    // Runs `task` with the calling thread as one more worker until the task completes, and
    // returns its result (an error if it ended by an exception or never ran). The runtime is
    // stopped then: the other workers return and queued work waits for shutdown(), which drops
    // it. A thread that would only wait for the task serves instead, so a runtime made with one
    // worker less costs no thread more than its workers.
    Status run_until_done(boost::asio::awaitable<Status> task);

    // Stops the workers (queued work is dropped), joins them and shuts the blocking pool down.
    void shutdown();

  private:
    Runtime();
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace drovane
