#include "client/windows_installation.hpp"

#include <cstddef>
#include <filesystem>
#include <vector>

#include "client/dacl_check.hpp"
#include "helper_client/helper_endpoint.hpp"
#include "names.hpp"
#include "sha256_file.hpp"
#include "text.hpp"
#include "win/last_error.hpp"
#include "win/module_path.hpp"
#include "win/process_account.hpp"
#include "win/scm.hpp"

namespace drovane::client {

namespace {

// A buffer for a query's variable-sized result, aligned for the structure at its start.
using QueryBuffer = std::vector<std::max_align_t>;

QueryBuffer query_buffer(DWORD bytes) {
    return QueryBuffer((bytes + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t));
}

DWORD buffer_bytes(const QueryBuffer& buffer) {
    return static_cast<DWORD>(buffer.size() * sizeof(std::max_align_t));
}

}  // namespace

Result<std::optional<ServiceRegistration>> WindowsInstallation::registration() {
    if (!manager_) {
        Result<win::unique_service> manager = win::scm::open_manager(SC_MANAGER_CONNECT);
        DROVANE_RETURN_IF_ERROR_MSG(manager, "open Windows service manager");
        manager_ = std::move(*manager);
    }
    Result<win::unique_service> opened = win::scm::open_service(
        manager_.get(), names::service_wide.data(), SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS);
    if (!opened) {
        if (opened.error().os_code() == ERROR_SERVICE_DOES_NOT_EXIST) {
            return std::optional<ServiceRegistration>();
        }
        return std::move(opened).error().context("open helper service");
    }
    service_ = std::move(*opened);

    DWORD needed = 0;
    ::QueryServiceConfigW(service_.get(), nullptr, 0, &needed);
    QueryBuffer buffer = query_buffer(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!::QueryServiceConfigW(service_.get(), config, buffer_bytes(buffer), &needed)) {
        return win::last_os_error().context("query helper service configuration");
    }
    ServiceRegistration registration;
    registration.own_process = config->dwServiceType == SERVICE_WIN32_OWN_PROCESS;
    registration.automatic_start = config->dwStartType == SERVICE_AUTO_START;
    registration.account =
        config->lpServiceStartName ? to_utf8(config->lpServiceStartName) : "LocalSystem";
    registration.binary_path = config->lpBinaryPathName ? to_utf8(config->lpBinaryPathName) : "";
    return std::optional<ServiceRegistration>(std::move(registration));
}

Result<SC_HANDLE> WindowsInstallation::service() {
    if (!service_) {
        return Error("helper service is not open");
    }
    return service_.get();
}

Result<RecoverySetting> WindowsInstallation::recovery() {
    Result<SC_HANDLE> service = this->service();
    DROVANE_RETURN_IF_ERROR(service);
    DWORD needed = 0;
    ::QueryServiceConfig2W(*service, SERVICE_CONFIG_FAILURE_ACTIONS, nullptr, 0, &needed);
    QueryBuffer buffer = query_buffer(needed > 0 ? needed : sizeof(SERVICE_FAILURE_ACTIONSW));
    if (!::QueryServiceConfig2W(*service, SERVICE_CONFIG_FAILURE_ACTIONS,
                                reinterpret_cast<BYTE*>(buffer.data()), buffer_bytes(buffer),
                                &needed)) {
        return win::last_os_error().context("query the recovery actions");
    }
    const auto* actions = reinterpret_cast<const SERVICE_FAILURE_ACTIONSW*>(buffer.data());
    RecoverySetting setting;
    setting.reset_period_seconds = actions->dwResetPeriod;
    for (DWORD i = 0; i < actions->cActions && actions->lpsaActions != nullptr; ++i) {
        setting.actions.push_back(
            {actions->lpsaActions[i].Type == SC_ACTION_RESTART, actions->lpsaActions[i].Delay});
    }
    return setting;
}

Result<std::string> WindowsInstallation::service_state() {
    Result<SC_HANDLE> service = this->service();
    DROVANE_RETURN_IF_ERROR(service);
    Result<win::scm::ServiceState> state = win::scm::query_state(*service);
    DROVANE_RETURN_IF_ERROR_MSG(state, "query helper service status");
    return std::string(win::scm::state_name(*state));
}

Result<unsigned> WindowsInstallation::published_port() {
    Result<std::optional<unsigned>> port = helper_client::ClientSystemCalls().published_port();
    DROVANE_RETURN_IF_ERROR(port);
    if (!*port) {
        return Error("no Port value under HKEY_LOCAL_MACHINE\\" + std::string(names::runtime_key));
    }
    return **port;
}

helper_client::Call<unsigned> WindowsInstallation::prove_helper() {
    return helper_client::HelperTransport().authenticate();
}

Result<std::string> WindowsInstallation::user_sid() {
    return peer::process_account_sid(::GetCurrentProcessId());
}

bool WindowsInstallation::elevated() {
    // The process's own token: every account may query it.
    win::unique_handle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put())) {
        return false;
    }
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    return ::GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof(elevation),
                                 &size) &&
           elevation.TokenIsElevated != 0;
}

std::string WindowsInstallation::own_directory() {
    Result<std::filesystem::path> own = win::own_executable_path();
    if (!own) {
        return {};
    }
    const std::wstring& path = own->native();
    return to_utf8(path.substr(0, path.find_last_of(L"\\/")));
}

bool WindowsInstallation::file_exists(const std::string& path) {
    DWORD attributes = ::GetFileAttributesW(to_utf16(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

Result<std::string> WindowsInstallation::file_sha256(const std::string& path) {
    win::unique_file file(::CreateFileW(to_utf16(path).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return win::last_os_error().context("open " + path);
    }
    Result<std::string> digest = hub::hash_open_file(file.get());
    DROVANE_RETURN_IF_ERROR_MSG(digest, "read " + path);
    return digest;
}

Result<std::vector<WriteGrant>> WindowsInstallation::untrusted_write_grants(
    const std::string& path) {
    return client::untrusted_write_grants(to_utf16(path));
}

}  // namespace drovane::client
