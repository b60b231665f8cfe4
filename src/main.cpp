// DrovaneHelper.exe: `install --owner-pid PID`, `uninstall`, or the service mode
// `--owner-sid SID` in which the Service Control Manager starts it. Nothing is ever written to
// standard output; a failure is one report on standard error and exit status 1.
#include <array>
#include <cstddef>
#include <string>

#include "command_line.hpp"
#include "error.hpp"
#include "names.hpp"
#include "owner_sid.hpp"
#include "service/windows/install.hpp"
#include "service/windows/service_host.hpp"
#include "win/handles.hpp"

namespace {

using drovane::Error;
using drovane::Status;

// Hands the main thread to the service control dispatcher until the service has stopped.
Status run_service_dispatcher(std::string owner) {
    drovane::win::set_owner_sid(std::move(owner));
    std::array<wchar_t, drovane::names::service_wide.size()> name = drovane::names::service_wide;
    SERVICE_TABLE_ENTRYW table[] = {
        {name.data(), drovane::win::helper_service_main},
        {nullptr, nullptr},
    };
    if (!::StartServiceCtrlDispatcherW(table)) {
        return Error::winapi(::GetLastError());
    }
    // The service thread may still be shutting its runtime down after the Stopped report.
    if (!drovane::win::wait_for_service_main_to_return(30000)) {
        // It still runs: returning would destroy static objects under it. The service has
        // reported Stopped already, so the process ends at once, with no destructor, exit
        // handler or library notification run while other threads may hold their locks.
        ::TerminateProcess(::GetCurrentProcess(), 0);
    }
    return {};
}

Status run(const std::wstring& command_line) {
    drovane::Result<drovane::Command> command = drovane::classify_command_line(
        drovane::split_command_line(command_line).arguments, drovane::peer::is_valid_sid_string);
    DROVANE_RETURN_IF_ERROR(command);
    switch (command->kind) {
        case drovane::Command::Kind::service:
            return run_service_dispatcher(std::move(command->owner_sid));
        case drovane::Command::Kind::install:
            return drovane::win::install_helper_service(command->owner_pid);
        case drovane::Command::Kind::uninstall:
            return drovane::win::uninstall_helper_service();
    }
    return Error("unknown helper command");
}

}  // namespace

int main() {
    const wchar_t* line = ::GetCommandLineW();
    Status result = run(line != nullptr ? std::wstring(line) : std::wstring());
    if (result) {
        return 0;
    }
    // The report's bytes go out unchanged (no CRT newline translation).
    std::string report = drovane::render_error_report(result.error());
    HANDLE error_stream = ::GetStdHandle(STD_ERROR_HANDLE);
    if (error_stream != nullptr && error_stream != INVALID_HANDLE_VALUE) {
        const char* data = report.data();
        std::size_t left = report.size();
        DWORD written = 0;
        while (left > 0 &&
               ::WriteFile(error_stream, data, static_cast<DWORD>(left), &written, nullptr) &&
               written > 0) {
            data += written;
            left -= written;
        }
    }
    return 1;
}
