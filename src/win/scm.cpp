#include "win/scm.hpp"

#include "argv_quoting.hpp"
#include "win/last_error.hpp"

namespace drovane::win::scm {

namespace {

// A list of texts as the SCM's double-NUL-terminated form; none for an empty list.
Result<std::optional<std::wstring>> multi_text(const std::vector<std::wstring>& texts,
                                               const char* name) {
    if (texts.empty()) {
        return std::optional<std::wstring>();
    }
    std::wstring joined;
    for (const std::wstring& text : texts) {
        Result<std::wstring> checked = scm_text(text, name);
        DROVANE_RETURN_IF_ERROR(checked);
        joined += *checked;
        joined += L'\0';
    }
    return std::optional<std::wstring>(std::move(joined));
}

Result<std::optional<std::wstring>> optional_text(const std::optional<std::wstring>& text,
                                                  const char* name) {
    if (!text) {
        return std::optional<std::wstring>();
    }
    Result<std::wstring> checked = scm_text(*text, name);
    DROVANE_RETURN_IF_ERROR(checked);
    return std::optional<std::wstring>(std::move(*checked));
}

const wchar_t* pointer_or_null(const std::optional<std::wstring>& text) {
    return text ? text->c_str() : nullptr;
}

wchar_t* mutable_pointer_or_null(std::optional<std::wstring>& text) {
    return text ? text->data() : nullptr;
}

}  // namespace

const char* state_name(ServiceState state) {
    switch (state) {
        case ServiceState::stopped:
            return "Stopped";
        case ServiceState::start_pending:
            return "StartPending";
        case ServiceState::stop_pending:
            return "StopPending";
        case ServiceState::running:
            return "Running";
        case ServiceState::continue_pending:
            return "ContinuePending";
        case ServiceState::pause_pending:
            return "PausePending";
        case ServiceState::paused:
            return "Paused";
    }
    return "Unknown";
}

Result<ServiceState> state_from_value(std::uint32_t value) {
    if (value < 1 || value > 7) {
        return Error("invalid unsigned integer for the target type: " + std::to_string(value))
            .context("invalid service status value");
    }
    return static_cast<ServiceState>(value);
}

Result<std::wstring> scm_text(std::wstring_view text, const char* name) {
    if (text.find(L'\0') != std::wstring_view::npos) {
        return Error(std::string(name) + " contains a nul byte");
    }
    return std::wstring(text);
}

Result<std::wstring> binary_path(const ServiceInfo& info) {
    Result<std::wstring> path = scm_text(info.executable_path, "executable path");
    DROVANE_RETURN_IF_ERROR(path);
    std::wstring joined = escape_command_line_part(*path);
    for (const std::wstring& argument : info.launch_arguments) {
        Result<std::wstring> checked = scm_text(argument, "launch argument");
        DROVANE_RETURN_IF_ERROR(checked);
        joined += L' ';
        joined += escape_command_line_part(*checked);
    }
    return joined;
}

Result<unique_service> open_manager(std::uint32_t access) {
    unique_service manager(::OpenSCManagerW(nullptr, SERVICES_ACTIVE_DATABASEW, access));
    if (!manager) {
        return last_winapi_error();
    }
    return manager;
}

Result<unique_service> open_service(SC_HANDLE manager, std::wstring_view name,
                                    std::uint32_t access) {
    Result<std::wstring> checked = scm_text(name, "service name");
    DROVANE_RETURN_IF_ERROR(checked);
    unique_service service(::OpenServiceW(manager, checked->c_str(), access));
    if (!service) {
        return last_winapi_error();
    }
    return service;
}

Result<unique_service> create_service(SC_HANDLE manager, const ServiceInfo& info,
                                      std::uint32_t access) {
    Result<std::wstring> name = scm_text(info.name, "service name");
    DROVANE_RETURN_IF_ERROR(name);
    Result<std::wstring> display_name = scm_text(info.display_name, "display name");
    DROVANE_RETURN_IF_ERROR(display_name);
    Result<std::wstring> path = binary_path(info);
    DROVANE_RETURN_IF_ERROR(path);
    Result<std::optional<std::wstring>> dependencies = multi_text(info.dependencies, "dependency");
    DROVANE_RETURN_IF_ERROR(dependencies);
    Result<std::optional<std::wstring>> account = optional_text(info.account_name, "account name");
    DROVANE_RETURN_IF_ERROR(account);
    Result<std::optional<std::wstring>> password =
        optional_text(info.account_password, "account password");
    DROVANE_RETURN_IF_ERROR(password);
    unique_service service(::CreateServiceW(
        manager, name->c_str(), display_name->c_str(), access, info.service_type, info.start_type,
        info.error_control, path->c_str(), nullptr, nullptr, pointer_or_null(*dependencies),
        pointer_or_null(*account), pointer_or_null(*password)));
    if (!service) {
        return last_winapi_error();
    }
    return service;
}

Status set_failure_actions(SC_HANDLE service, const FailureActions& actions) {
    Result<std::optional<std::wstring>> reboot_message =
        optional_text(actions.reboot_message, "service action failures reboot message");
    DROVANE_RETURN_IF_ERROR(reboot_message);
    Result<std::optional<std::wstring>> command =
        optional_text(actions.command, "service action failures command");
    DROVANE_RETURN_IF_ERROR(command);
    std::vector<SC_ACTION> list = actions.actions;
    SERVICE_FAILURE_ACTIONSW info{};
    info.dwResetPeriod = actions.reset_period_seconds;
    info.lpRebootMsg = mutable_pointer_or_null(*reboot_message);
    info.lpCommand = mutable_pointer_or_null(*command);
    info.cActions = static_cast<DWORD>(list.size());
    info.lpsaActions = list.empty() ? nullptr : list.data();
    if (!::ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &info)) {
        return last_winapi_error();
    }
    return {};
}

Status start_service(SC_HANDLE service) {
    if (!::StartServiceW(service, 0, nullptr)) {
        return last_winapi_error();
    }
    return {};
}

Result<ServiceState> query_state(SC_HANDLE service) {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                sizeof(status), &needed)) {
        return last_winapi_error();
    }
    return state_from_value(status.dwCurrentState);
}

Result<ServiceState> control(SC_HANDLE service, std::uint32_t code) {
    SERVICE_STATUS status{};
    if (!::ControlService(service, code, &status)) {
        return last_winapi_error();
    }
    return state_from_value(status.dwCurrentState);
}

Status delete_service(SC_HANDLE service) {
    if (!::DeleteService(service)) {
        return last_winapi_error();
    }
    return {};
}

}  // namespace drovane::win::scm
