#include "service/windows/install.hpp"

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "names.hpp"
#include "text.hpp"
#include "win/module_path.hpp"
#include "win/process_account.hpp"
#include "win/scm.hpp"

namespace drovane::win {

namespace {

constexpr DWORD install_manager_access = SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE;
constexpr DWORD uninstall_manager_access = SC_MANAGER_CONNECT;
constexpr DWORD new_service_access = SERVICE_CHANGE_CONFIG | SERVICE_QUERY_STATUS | SERVICE_START;
constexpr DWORD stop_delete_access = DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS;
constexpr DWORD probe_access = SERVICE_QUERY_STATUS;

constexpr auto poll_interval = std::chrono::milliseconds(100);

// Every wait loop gives up once its elapsed time in whole seconds exceeds 9.
class WaitClock {
  public:
    WaitClock() : start_(std::chrono::steady_clock::now()) {}
    bool expired() const {
        return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() -
                                                                start_)
                   .count() > 9;
    }

  private:
    std::chrono::steady_clock::time_point start_;
};

void sleep_between_polls() {
    std::this_thread::sleep_for(poll_interval);
}

bool has_code(const Error& error, std::uint32_t code) {
    return error.os_code() == code;
}

// Sends STOP until the service is stopped or no longer active.
Status stop_service(SC_HANDLE service) {
    WaitClock clock;
    while (true) {
        Result<scm::ServiceState> state = scm::query_state(service);
        DROVANE_RETURN_IF_ERROR_MSG(state, "query helper service before stopping");
        if (*state == scm::ServiceState::stopped) {
            return {};
        }
        if (*state != scm::ServiceState::stop_pending) {
            Result<scm::ServiceState> sent = scm::control(service, SERVICE_CONTROL_STOP);
            if (!sent) {
                if (has_code(sent.error(), ERROR_SERVICE_NOT_ACTIVE)) {
                    return {};
                }
                if (!has_code(sent.error(), ERROR_SERVICE_CANNOT_ACCEPT_CTRL)) {
                    return std::move(sent).error().context("stop helper service");
                }
            }
        }
        if (clock.expired()) {
            return Error(std::string("timed out waiting for helper service to stop from ") +
                         scm::state_name(*state));
        }
        sleep_between_polls();
    }
}

scm::ServiceInfo helper_service_info(std::wstring executable_path, const std::string& owner_sid) {
    scm::ServiceInfo info;
    info.name = names::service_wide.data();
    info.display_name = names::service_wide.data();
    info.service_type = SERVICE_WIN32_OWN_PROCESS;
    info.start_type = SERVICE_AUTO_START;
    info.error_control = SERVICE_ERROR_NORMAL;
    info.executable_path = std::move(executable_path);
    info.launch_arguments = {L"--owner-sid", to_utf16(owner_sid)};
    return info;
}

Status wait_for_running(SC_HANDLE service) {
    WaitClock clock;
    while (true) {
        Result<scm::ServiceState> state = scm::query_state(service);
        DROVANE_RETURN_IF_ERROR_MSG(state, "query helper service after starting");
        if (*state == scm::ServiceState::running) {
            return {};
        }
        if (*state == scm::ServiceState::stopped) {
            return Error("helper service stopped during startup");
        }
        if (clock.expired()) {
            return Error(std::string("timed out waiting for helper service to run from ") +
                         scm::state_name(*state));
        }
        sleep_between_polls();
    }
}

}  // namespace

scm::FailureActions helper_recovery_actions() {
    scm::FailureActions recovery;
    recovery.reset_period_seconds = names::recovery_reset_period_seconds;
    SC_ACTION restart{};
    restart.Type = SC_ACTION_RESTART;
    restart.Delay = names::recovery_restart_delay_ms;
    recovery.actions.assign(names::recovery_restarts, restart);
    return recovery;
}

Status InstallSystemCalls::set_failure_actions(SC_HANDLE service,
                                               const scm::FailureActions& actions) {
    return scm::set_failure_actions(service, actions);
}

Status InstallSystemCalls::start_service(SC_HANDLE service) {
    return scm::start_service(service);
}

Status install_helper_service(std::uint32_t owner_pid) {
    InstallSystemCalls calls;
    return install_helper_service(owner_pid, calls);
}

Status install_helper_service(std::uint32_t owner_pid, InstallSystemCalls& calls) {
    peer::AccountReadCalls account_calls;
    Result<std::string> owner = peer::owner_account_sid(owner_pid, account_calls);
    DROVANE_RETURN_IF_ERROR_MSG(owner, "read the account of process " + std::to_string(owner_pid));
    Result<unique_service> manager = scm::open_manager(install_manager_access);
    DROVANE_RETURN_IF_ERROR_MSG(manager, "open Windows service manager");
    DROVANE_RETURN_IF_ERROR(stop_and_delete_service(manager->get()));
    Result<std::filesystem::path> path = win::own_executable_path();
    DROVANE_RETURN_IF_ERROR_MSG(path, "resolve helper executable path");
    Result<unique_service> service = scm::create_service(
        manager->get(), helper_service_info(path->native(), *owner), new_service_access);
    DROVANE_RETURN_IF_ERROR_MSG(service, "create helper service");
    DROVANE_RETURN_IF_ERROR_MSG(
        calls.set_failure_actions(service->get(), helper_recovery_actions()),
        "configure helper service recovery");
    if (Status started = calls.start_service(service->get());
        !started && !has_code(started.error(), ERROR_SERVICE_ALREADY_RUNNING)) {
        return std::move(started).error().context("start helper service");
    }
    Status running = wait_for_running(service->get());
    service->reset();  // the service handle closes before the SCM handle
    return running;
}

Status uninstall_helper_service() {
    Result<unique_service> manager = scm::open_manager(uninstall_manager_access);
    DROVANE_RETURN_IF_ERROR_MSG(manager, "open Windows service manager");
    return stop_and_delete_service(manager->get());
}

Status stop_and_delete_service(SC_HANDLE manager) {
    Result<unique_service> service =
        scm::open_service(manager, names::service_wide.data(), stop_delete_access);
    if (!service) {
        if (has_code(service.error(), ERROR_SERVICE_DOES_NOT_EXIST)) {
            return {};
        }
        if (has_code(service.error(), ERROR_SERVICE_MARKED_FOR_DELETE)) {
            return wait_for_service_deletion(manager);
        }
        return std::move(service).error().context("open existing helper service");
    }
    if (Status stopped = stop_service(service->get()); !stopped) {
        return stopped;
    }
    if (Status deleted = scm::delete_service(service->get());
        !deleted && !has_code(deleted.error(), ERROR_SERVICE_DOES_NOT_EXIST) &&
        !has_code(deleted.error(), ERROR_SERVICE_MARKED_FOR_DELETE)) {
        return std::move(deleted).error().context("delete helper service");
    }
    service->reset();
    return wait_for_service_deletion(manager);
}

Status wait_for_service_deletion(SC_HANDLE manager) {
    WaitClock clock;
    while (true) {
        Result<unique_service> probe =
            scm::open_service(manager, names::service_wide.data(), probe_access);
        if (!probe) {
            if (has_code(probe.error(), ERROR_SERVICE_DOES_NOT_EXIST)) {
                return {};
            }
            if (!has_code(probe.error(), ERROR_SERVICE_MARKED_FOR_DELETE)) {
                return std::move(probe).error().context("check helper service deletion");
            }
        }
        if (probe) {
            probe->reset();  // the service still exists: close the handle at once
        }
        if (clock.expired()) {
            return Error("timed out waiting for helper service deletion");
        }
        sleep_between_polls();
    }
}

}  // namespace drovane::win
