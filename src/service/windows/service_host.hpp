// The service host: the service entry that the dispatcher runs, its control handler, the
// StartPending and Stopped reports around the endpoint server's run, and the owner cell that the
// command-line entry fills before the dispatcher starts.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "error.hpp"
#include "service/shutdown_flag.hpp"
#include "service/windows/handles.hpp"
#include "service/windows/service_status.hpp"

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
};

// The extended control handler: STOP sets the flag and releases the sender (NO_ERROR);
// INTERROGATE does nothing (NO_ERROR); SHUTDOWN and PRESHUTDOWN release the sender (120); every
// other control does nothing (120).
DWORD WINAPI helper_service_control(DWORD control, DWORD event_type, LPVOID event_data,
                                    LPVOID context);

// Reports through the status handle of a registered control handler (never closed).
class ServiceStatusReporter final : public StatusReporter {
  public:
    explicit ServiceStatusReporter(SERVICE_STATUS_HANDLE handle) : handle_(handle) {}
    Status report(const ServiceStatus& status) override;

  private:
    SERVICE_STATUS_HANDLE handle_;
};

// The whole service run (registration, reports, runtime, endpoint server); its error is what the
// service entry discards.
Status run_helper_service();

// The service entry given to the dispatcher; the start arguments are ignored.
void WINAPI helper_service_main(DWORD argc, LPWSTR* argv);

// The dispatcher returns as soon as the Stopped report is made, while the service thread still
// shuts the runtime down. The entry calls this before the process exits, so that shutdown is not
// cut short by process exit; returns at once when no service run began, and after `timeout_ms`
// at the latest.
void wait_for_service_main_to_return(std::uint32_t timeout_ms);

}  // namespace drovane::win
