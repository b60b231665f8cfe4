// The task runtime: one io_context driven by its worker threads (one per logical processor unless
// told otherwise) and by a thread in run_until_done, kept running by a work guard until shutdown
// or until that task is done, and the blocking pool beside it.
#include "service/runtime.hpp"

#include <algorithm>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <exception>
#include <mutex>
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

unsigned Runtime::processor_count() {
    const unsigned processors = std::thread::hardware_concurrency();
    return processors == 0 ? 1 : processors;
}

Result<std::unique_ptr<Runtime>> Runtime::create() {
    return create(processor_count());
}

Result<std::unique_ptr<Runtime>> Runtime::create(unsigned count) {
    std::unique_ptr<Runtime> runtime(new Runtime());
    try {
        // The hint is the threads that will drive the io_context: a hint of one would keep work
        // posted from a worker on that worker, but a thread in run_until_done may join them.
        runtime->state_ =
            std::make_unique<State>(static_cast<int>(std::max(count + 1, processor_count())));
        State& state = *runtime->state_;
        // Asio's Windows backend starts a thread for timers at the first timer of the io_context
        // and keeps it to the end; every HTTP connection makes timers. Made here, that thread is
        // part of the cost after start rather than growth at the first connection.
        boost::asio::steady_timer first_timer(state.io);
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

Status Runtime::run_until_done(boost::asio::awaitable<Status> task) {
    std::mutex lock;
    std::optional<Status> result;
    try {
        boost::asio::co_spawn(state_->io, std::move(task),
                              [this, &lock, &result](std::exception_ptr failure, Status status) {
                                  {
                                      std::lock_guard guard(lock);
                                      result.emplace(failure ? Status(Error("the task failed "
                                                                            "abnormally"))
                                                             : std::move(status));
                                  }
                                  state_->io.stop();
                              });
    } catch (const std::exception& error) {
        return Error(error.what()).context("start the task");
    }
    // Returns once the completion above stopped the io_context (or shutdown did).
    state_->run_worker();
    std::lock_guard guard(lock);
    if (!result) {
        return Error("the runtime stopped before the task completed");
    }
    return std::move(*result);
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
