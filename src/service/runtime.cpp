// The task runtime: one io_context driven by one worker thread per logical processor, kept
// running by a work guard until shutdown, and the blocking pool beside it.
#include "service/runtime.hpp"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <exception>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

namespace drovane {

struct Runtime::State {
    // Declared first so that it is destroyed last: the handlers still queued in the io_context
    // (suspended coroutines among them) are destroyed while the pool they may refer to exists.
    BlockingPool pool;
    boost::asio::io_context io;
    std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> work;
    std::vector<std::thread> workers;
    bool shut_down = false;

    explicit State(int concurrency) : io(concurrency) { work.emplace(io.get_executor()); }

    void run_worker() {
        // A handler that lets an exception escape must not end the worker, nor the process:
        // every task of the service catches its own failures, so this is a last guard only.
        for (;;) {
            try {
                io.run();
                return;
            } catch (...) {
            }
        }
    }
};

Runtime::Runtime() = default;

Result<std::unique_ptr<Runtime>> Runtime::create() {
    const unsigned processors = std::thread::hardware_concurrency();
    const unsigned count = processors == 0 ? 1 : processors;
    std::unique_ptr<Runtime> runtime(new Runtime());
    try {
        runtime->state_ = std::make_unique<State>(static_cast<int>(count));
        State& state = *runtime->state_;
        state.workers.reserve(count);
        for (unsigned i = 0; i < count; ++i) {
            state.workers.emplace_back([&state] { state.run_worker(); });
        }
    } catch (const std::system_error& error) {
        // The runtime's destructor stops and joins the workers already started.
        return Error(error.what()).context("start runtime worker thread");
    } catch (const std::exception& error) {
        return Error(error.what()).context("set up runtime");
    }
    return runtime;
}

Runtime::~Runtime() {
    shutdown();
}

boost::asio::any_io_executor Runtime::executor() {
    return state_->io.get_executor();
}

BlockingPool& Runtime::blocking_pool() {
    return state_->pool;
}

void Runtime::shutdown() {
    if (!state_ || state_->shut_down) {
        return;
    }
    state_->shut_down = true;
    // Queued handlers are not run any more; they are destroyed with the io_context.
    state_->work.reset();
    state_->io.stop();
    for (std::thread& worker : state_->workers) {
        if (worker.joinable()) {
            worker.join();
        }
    }
    state_->pool.shutdown();
}

}  // namespace drovane
