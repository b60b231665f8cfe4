#include "service/hub/core/core_system_calls.hpp"
#include "win/last_error.hpp"

#include <thread>
#include <utility>

namespace drovane::hub {

Status CoreSystemCalls::add_attribute(LPPROC_THREAD_ATTRIBUTE_LIST list, DWORD_PTR attribute,
                                      void* value, std::size_t size) {
    DROVANE_RETURN_IF_WIN32_BOOL_FALSE(
        ::UpdateProcThreadAttribute(list, 0, attribute, value, size, nullptr, nullptr));
    return {};
}

Result<PROCESS_INFORMATION> CoreSystemCalls::create_process(const wchar_t* application,
                                                            wchar_t* command_line, DWORD flags,
                                                            const wchar_t* directory,
                                                            STARTUPINFOEXW& startup) {
    PROCESS_INFORMATION created{};
    DROVANE_RETURN_IF_WIN32_BOOL_FALSE(::CreateProcessW(
        application, command_line, nullptr, nullptr, TRUE, flags | EXTENDED_STARTUPINFO_PRESENT,
        nullptr, directory, &startup.StartupInfo, &created));
    return created;
}

void CoreSystemCalls::terminate(HANDLE process, std::uint32_t exit_code) {
    ::TerminateProcess(process, exit_code);
}

Result<std::optional<std::uint32_t>> CoreSystemCalls::poll(HANDLE process) {
    switch (::WaitForSingleObject(process, 0)) {
        case WAIT_OBJECT_0: {
            DWORD code = 0;
            DROVANE_RETURN_IF_WIN32_BOOL_FALSE(::GetExitCodeProcess(process, &code));
            return std::optional<std::uint32_t>(code);
        }
        case WAIT_TIMEOUT:
            return std::optional<std::uint32_t>();
        default:
            return win::last_os_error();
    }
}

Result<win::unique_handle> CoreSystemCalls::create_job() {
    HANDLE job = ::CreateJobObjectW(nullptr, nullptr);
    if (job == nullptr) {
        return win::last_os_error();
    }
    return win::unique_handle(job);
}

Status CoreSystemCalls::set_limits(HANDLE job) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    DROVANE_RETURN_IF_WIN32_BOOL_FALSE(
        ::SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits));
    return {};
}

Status CoreSystemCalls::assign(HANDLE job, HANDLE process) {
    DROVANE_RETURN_IF_WIN32_BOOL_FALSE(::AssignProcessToJobObject(job, process));
    return {};
}

Status CoreSystemCalls::resume(HANDLE thread) {
    if (::ResumeThread(thread) == static_cast<DWORD>(-1)) {
        return win::last_os_error();
    }
    return {};
}

void CoreSystemCalls::start_thread(std::function<void()> body) {
    std::thread(std::move(body)).detach();
}

}  // namespace drovane::hub
