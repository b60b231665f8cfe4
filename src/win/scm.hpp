// A thin layer over the Service Control Manager calls: every handle has one owner, every failure
// is an error value ("IO error in winapi call" over the OS error), every text is checked for NUL
// characters before it reaches the SCM, and every queried state is checked to be one the SCM
// defines.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "win/handles.hpp"

namespace drovane::win::scm {

// The SCM's service states, by their SCM values.
enum class ServiceState : std::uint32_t {
    stopped = 1,
    start_pending = 2,
    stop_pending = 3,
    running = 4,
    continue_pending = 5,
    pause_pending = 6,
    paused = 7,
};

// "Stopped", "StartPending", "StopPending", "Running", "ContinuePending", "PausePending", "Paused".
const char* state_name(ServiceState state);

// The SCM value as a state; "invalid service status value" over "invalid unsigned integer for the
// target type: N" for a value outside 1 to 7.
Result<ServiceState> state_from_value(std::uint32_t value);

// The text as the NUL-terminated wide form the SCM takes; "<name> contains a nul byte" when it
// holds a NUL character.
Result<std::wstring> scm_text(std::wstring_view text, const char* name);

// Everything a create call registers.
struct ServiceInfo {
    std::wstring name;
    std::wstring display_name;
    std::uint32_t service_type = SERVICE_WIN32_OWN_PROCESS;
    std::uint32_t start_type = SERVICE_AUTO_START;
    std::uint32_t error_control = SERVICE_ERROR_NORMAL;
    // The binary path is the escaped executable path, then each escaped launch argument, joined
    // by single spaces.
    std::wstring executable_path;
    std::vector<std::wstring> launch_arguments;
    std::vector<std::wstring> dependencies;
    std::optional<std::wstring> account_name;  // none: the local system account
    std::optional<std::wstring> account_password;
};

// The binary path registered for `info` (NUL checks included).
Result<std::wstring> binary_path(const ServiceInfo& info);

// The recovery setting: actions after failures, the reset period of the failure count, an
// optional reboot message and command.
struct FailureActions {
    std::uint32_t reset_period_seconds = 0;
    std::optional<std::wstring> reboot_message;
    std::optional<std::wstring> command;
    std::vector<SC_ACTION> actions;
};

// The SCM of the local machine, active database.
Result<unique_service> open_manager(std::uint32_t access);
Result<unique_service> open_service(SC_HANDLE manager, std::wstring_view name,
                                    std::uint32_t access);
Result<unique_service> create_service(SC_HANDLE manager, const ServiceInfo& info,
                                      std::uint32_t access);
Status set_failure_actions(SC_HANDLE service, const FailureActions& actions);
// Starts with no start arguments.
Status start_service(SC_HANDLE service);
// The extended status query for process status information; its current state.
Result<ServiceState> query_state(SC_HANDLE service);
// Sends a control code; the state in the status the SCM hands back.
Result<ServiceState> control(SC_HANDLE service, std::uint32_t code);
Status delete_service(SC_HANDLE service);

}  // namespace drovane::win::scm
