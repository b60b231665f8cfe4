#include "service/windows/service_host.hpp"

#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "names.hpp"
#include "service/hub/core/core_supervisor.hpp"
#include "service/hub/helper_log.hpp"
#include "service/runtime.hpp"
#include "service/windows/endpoint_server.hpp"
#include "service/windows/install.hpp"

namespace drovane::win {

namespace {

// Written once on the main thread before the dispatcher creates the service thread, which is
// what orders the write before every read.
std::string owner_sid_cell;
bool owner_sid_set = false;

// Lives for the whole process, so it outlasts the dispatcher's last call into the handler.
ControlContext control_context;

// How far the service entry has come: runs begun and runs returned.
struct EntryProgress {
    std::mutex lock;
    std::condition_variable changed;
    int begun = 0;
    int returned = 0;
};

// Never destroyed: when the entry gives up waiting, the service thread may still be about to
// signal it while the process ends.
EntryProgress& entry_progress() {
    static EntryProgress* progress = new EntryProgress;
    return *progress;
}

constexpr DWORD start_wait_hint_ms = 10000;

ServiceStatus start_pending() {
    ServiceStatus status;
    status.current_state = SERVICE_START_PENDING;
    status.controls_accepted = 0;
    status.checkpoint = 1;
    status.wait_hint = start_wait_hint_ms;
    return status;
}

ServiceStatus stopped(std::uint32_t exit_code) {
    ServiceStatus status;
    status.current_state = SERVICE_STOPPED;
    status.win32_exit_code = exit_code;
    return status;
}

// Runs the endpoint server on the runtime until it has returned, this thread serving as one of
// the runtime's workers rather than waiting idle beside them.
Status serve_until_stopped(std::string owner, ShutdownReceiver shutdown, StatusReporter& status,
                           Runtime& runtime, hub::CoreOperations& core) {
    try {
        return runtime.run_until_done(
            run_endpoint_server(std::move(owner), std::move(shutdown), status, runtime, core));
    } catch (const std::exception& error) {
        return Error(error.what());
    } catch (...) {
        return Error("the endpoint server failed abnormally");
    }
}

}  // namespace

bool set_owner_sid(std::string sid) {
    if (owner_sid_set) {
        return false;
    }
    owner_sid_cell = std::move(sid);
    owner_sid_set = true;
    return true;
}

std::string owner_sid() {
    return owner_sid_cell;
}

namespace {

// Releases the sender, which closes the flag; without the lock if even the lock fails, since the
// control handler is then the only thread that touches it.
void close_sender(ControlContext& state) noexcept {
    try {
        std::lock_guard<std::mutex> guard(state.lock);
        state.sender.close();
        return;
    } catch (...) {
    }
    try {
        state.sender.close();
    } catch (...) {
        hub::append_helper_log("Helper could not close its shutdown flag");
    }
}

}  // namespace

DWORD WINAPI helper_service_control(DWORD control, DWORD /*event_type*/, LPVOID /*event_data*/,
                                    LPVOID context) noexcept {
    // Called by the dispatcher through C frames: no exception may leave it.
    auto* state = static_cast<ControlContext*>(context);
    switch (control) {
        case SERVICE_CONTROL_STOP:
            try {
                std::lock_guard<std::mutex> guard(state->lock);
                if (state->before_signal_for_testing != nullptr) {
                    state->before_signal_for_testing();
                }
                state->sender.send(true);
            } catch (const std::exception& failure) {
                hub::append_helper_log(std::string("Helper could not signal the stop, closing its "
                                                   "shutdown flag instead: ") +
                                       failure.what());
            } catch (...) {
                hub::append_helper_log(
                    "Helper could not signal the stop, closing its shutdown flag instead");
            }
            close_sender(*state);
            return NO_ERROR;
        case SERVICE_CONTROL_INTERROGATE:
            return NO_ERROR;
        case SERVICE_CONTROL_SHUTDOWN:
        case SERVICE_CONTROL_PRESHUTDOWN:
            close_sender(*state);
            return ERROR_CALL_NOT_IMPLEMENTED;
        default:
            return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

Status ServiceStatusReporter::report(const ServiceStatus& status) {
    SERVICE_STATUS record{};
    record.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    record.dwCurrentState = status.current_state;
    record.dwControlsAccepted = status.controls_accepted;
    record.dwWin32ExitCode = status.win32_exit_code;
    record.dwServiceSpecificExitCode = 0;
    record.dwCheckPoint = status.checkpoint;
    record.dwWaitHint = status.wait_hint;
    if (!::SetServiceStatus(handle_, &record)) {
        return Error::winapi(::GetLastError());
    }
    return {};
}

Status run_helper_service() {
    std::string owner = owner_sid();
    if (owner.empty()) {
        return Error("the helper service has no owner");
    }

    auto [sender, receiver] = make_shutdown_flag();
    {
        std::lock_guard<std::mutex> guard(control_context.lock);
        control_context.sender = std::move(sender);
    }
    SERVICE_STATUS_HANDLE handle = ::RegisterServiceCtrlHandlerExW(
        names::service_wide.data(), helper_service_control, &control_context);
    if (handle == nullptr) {
        Error error = Error::winapi(::GetLastError());
        std::lock_guard<std::mutex> guard(control_context.lock);
        control_context.sender.close();
        return std::move(error).context("register helper service control handler");
    }
    ServiceStatusReporter status(handle);

    DROVANE_RETURN_IF_ERROR_MSG(status.report(start_pending()), "report helper service startup");

    return run_started_service(std::move(owner), std::move(receiver), status, serve_until_stopped);
}

Status run_started_service(std::string owner, ShutdownReceiver shutdown, StatusReporter& status,
                           const ServeFunction& serve) {
    bool stopped_reported = false;
    auto report_stopped = [&](std::uint32_t exit_code) {
        stopped_reported = true;
        return status.report(stopped(exit_code));
    };
    try {
        // Declared before the runtime, so it outlives every task the runtime still holds.
        hub::CoreSupervisor supervisor;

        // One worker per logical processor, this thread among them while it serves.
        Result<std::unique_ptr<Runtime>> runtime = Runtime::create(Runtime::processor_count() - 1);
        if (!runtime) {
            (void)report_stopped(1);
            return std::move(runtime).error().context("create helper runtime");
        }

        Status served = serve(std::move(owner), std::move(shutdown), status, **runtime, supervisor);

        Status reported = report_stopped(served ? 0 : 1);
        (*runtime)->shutdown();
        runtime->reset();

        DROVANE_RETURN_IF_ERROR_MSG(served, "run helper service");
        DROVANE_RETURN_IF_ERROR_MSG(reported, "report helper service stopped");
        return {};
    } catch (...) {
        // Whatever was built has been unwound; the SCM learns of a failed run.
        if (!stopped_reported) {
            (void)report_stopped(1);
        }
        return Error("the helper service failed abnormally");
    }
}

void WINAPI helper_service_main(DWORD argc, LPWSTR* argv) {
    EntryProgress& progress = entry_progress();
    bool counted = false;
    try {
        {
            std::lock_guard<std::mutex> guard(progress.lock);
            ++progress.begun;
        }
        counted = true;
        // The start arguments are read and ignored: the owner comes from the process command
        // line.
        std::vector<std::wstring> arguments;
        for (DWORD i = 0; i < argc && argv != nullptr; ++i) {
            arguments.emplace_back(argv[i] != nullptr ? argv[i] : L"");
        }
        // No console and no log here: a failed run shows only as exit code 1 in the Stopped
        // report.
        (void)run_helper_service();
    } catch (...) {
        // Raised before the run could report anything (the handler is not registered yet): as
        // with any failure there, the SCM gets no report.
    }
    if (counted) {
        try {
            std::lock_guard<std::mutex> guard(progress.lock);
            ++progress.returned;
        } catch (...) {
            // The entry's wait then runs out instead.
        }
        progress.changed.notify_all();
    }
}

bool wait_for_service_main_to_return(std::uint32_t timeout_ms) {
    EntryProgress& progress = entry_progress();
    std::unique_lock<std::mutex> guard(progress.lock);
    return progress.changed.wait_for(guard, std::chrono::milliseconds(timeout_ms),
                                     [&] { return progress.returned == progress.begun; });
}

}  // namespace drovane::win
