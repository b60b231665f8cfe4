// Installation and removal of DrovaneHelperService. Both are blocking, single-threaded and print
// nothing; the command-line entry reports their errors.
#pragma once

#include <cstdint>

#include "error.hpp"
#include "win/handles.hpp"
#include "win/scm.hpp"

namespace drovane::win {

// The service manager calls of installation whose effect cannot be read back everywhere (Wine
// keeps no recovery setting), so that a test records them. Each answers as the SCM does.
class InstallSystemCalls {
  public:
    virtual ~InstallSystemCalls() = default;
    // ChangeServiceConfig2W with the recovery (failure) actions.
    virtual Status set_failure_actions(SC_HANDLE service, const scm::FailureActions& actions);
    // StartServiceW without arguments.
    virtual Status start_service(SC_HANDLE service);
};

// Replaces any registration with a new one whose owner is the account of process `owner_pid`,
// starts it and returns once it reports Running (its port is published by then).
Status install_helper_service(std::uint32_t owner_pid);
Status install_helper_service(std::uint32_t owner_pid, InstallSystemCalls& calls);

// The recovery setting install writes once the service is created: a restart after each of the
// first three failures, 5000 ms after it, the failure count reset after a day without one.
scm::FailureActions helper_recovery_actions();

// Stops and deletes the service and waits until the SCM no longer knows it; nothing registered
// is success.
Status uninstall_helper_service();

// Stops the service if it runs, deletes it and waits for the deletion. `manager` stays open.
Status stop_and_delete_service(SC_HANDLE manager);

// Polls every 100 ms until the service's name is free, for up to 10 seconds.
Status wait_for_service_deletion(SC_HANDLE manager);

}  // namespace drovane::win
