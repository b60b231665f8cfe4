// The service host: the service entry that the dispatcher runs, its control handler, the
// StartPending and Stopped reports around the endpoint server's run, and the owner cell that the
// command-line entry fills before the dispatcher starts.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "error.hpp"
#include "service/hub/core_operations.hpp"
#include "service/runtime.hpp"
#include "service/shutdown_flag.hpp"
#include "service/windows/service_status.hpp"
#include "win/handles.hpp"

namespace drovane::win {

// owner_sid: set at most once, by the entry in service mode before any other thread exists.
// Returns false (and keeps the first value) when it was already set.
bool set_owner_sid(std::string sid);
// The owner SID string exactly as given on the command line; empty until set.
std::string owner_sid();

// What the control handler is given back on each call: the sending side of shutdown_flag.
struct ControlContext {
    std::mutex lock;
    ShutdownSender sender;
    // Test seam: runs just before STOP sets the flag, so a test can make signalling fail.
    void (*before_signal_for_testing)() = nullptr;
};

// The extended control handler: STOP sets the flag and releases the sender (NO_ERROR);
// INTERROGATE does nothing (NO_ERROR); SHUTDOWN and PRESHUTDOWN release the sender (120); every
// other control does nothing (120). Nothing escapes it: a STOP whose flag cannot be set is
// logged, and releasing the sender still closes the flag, which stops the service all the same.
DWORD WINAPI helper_service_control(DWORD control, DWORD event_type, LPVOID event_data,
                                    LPVOID context) noexcept;

// Reports through the status handle of a registered control handler (never closed).
class ServiceStatusReporter final : public StatusReporter {
  public:
    explicit ServiceStatusReporter(SERVICE_STATUS_HANDLE handle) : handle_(handle) {}
    Status report(const ServiceStatus& status) override;

  private:
    SERVICE_STATUS_HANDLE handle_;
};

// Runs the endpoint server on the runtime and blocks until it has returned; the product's is
// run_endpoint_server on the runtime, a test's a stand-in.
using ServeFunction =
    std::function<Status(std::string owner, ShutdownReceiver shutdown, StatusReporter& status,
                         Runtime& runtime, hub::CoreOperations& core)>;

// The run from after the StartPending report to its end: the Core supervisor and the runtime,
// `serve`, the Stopped report, the runtime's shutdown. An exception raised on the way (an
// allocation failure) makes a failed run: Stopped with exit code 1 is reported unless Stopped
// already was.
Status run_started_service(std::string owner, ShutdownReceiver shutdown, StatusReporter& status,
                           const ServeFunction& serve);

// The whole service run (registration, reports, runtime, endpoint server); its error is what the
// service entry discards.
Status run_helper_service();

// The service entry given to the dispatcher; the start arguments are ignored. No exception
// leaves it.
void WINAPI helper_service_main(DWORD argc, LPWSTR* argv);

// The dispatcher returns as soon as the Stopped report is made, while the service thread still
// shuts the runtime down. The entry calls this before the process exits, so that shutdown is not
// cut short by process exit; true at once when no service run began, false when the service
// thread still runs after `timeout_ms`.
bool wait_for_service_main_to_return(std::uint32_t timeout_ms);

}  // namespace drovane::win
