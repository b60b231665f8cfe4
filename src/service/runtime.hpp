// The task runtime of a service run: worker threads (one per logical processor, at least one)
// driving asynchronous I/O and timers, and the blocking pool beside them.
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <memory>

#include "error.hpp"
#include "service/blocking_pool.hpp"

namespace drovane {

class Runtime {
  public:
    static Result<std::unique_ptr<Runtime>> create();
    Runtime(const Runtime&) = delete;
    Runtime& operator=(const Runtime&) = delete;
    ~Runtime();  // shuts down

    boost::asio::any_io_executor executor();
    BlockingPool& blocking_pool();

    // Stops the workers (queued work is dropped), joins them and shuts the blocking pool down.
    void shutdown();

  private:
    Runtime();
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace drovane
