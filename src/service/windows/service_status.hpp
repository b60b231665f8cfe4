// Service status reports. The endpoint server reports Running and StopPending through this seam;
// the service host gives it the real status handle, tests a recorder.
#pragma once

#include <cstdint>

#include "error.hpp"

namespace drovane::win {

struct ServiceStatus {
    std::uint32_t current_state = 0;      // SERVICE_RUNNING, SERVICE_STOP_PENDING, ...
    std::uint32_t controls_accepted = 0;  // SERVICE_ACCEPT_STOP is 1
    std::uint32_t win32_exit_code = 0;
    std::uint32_t checkpoint = 0;
    std::uint32_t wait_hint = 0;  // milliseconds
};

class StatusReporter {
  public:
    virtual ~StatusReporter() = default;
    // One SetServiceStatus call (service type SERVICE_WIN32_OWN_PROCESS, specific exit code 0).
    virtual Status report(const ServiceStatus& status) = 0;
};

}  // namespace drovane::win
