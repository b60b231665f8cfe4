#include "service/hub/core/core_launch.hpp"

#include <algorithm>
#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "text.hpp"
#include "win/last_error.hpp"
#include "win/process_attribute_list.hpp"

namespace drovane::hub {

namespace {

// An inheritable duplicate of one of the Helper's standard handles; none when the Helper has
// none (a service has no console) or it cannot be duplicated.
win::unique_handle inheritable_standard_handle(DWORD which) {
    HANDLE handle = ::GetStdHandle(which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return {};
    }
    HANDLE duplicate = nullptr;
    HANDLE self = ::GetCurrentProcess();
    if (!::DuplicateHandle(self, handle, self, &duplicate, 0, TRUE, DUPLICATE_SAME_ACCESS)) {
        return {};
    }
    return win::unique_handle(duplicate);
}

}  // namespace

PendingCore::PendingCore(CoreSystemCalls& calls, win::unique_handle process,
                         win::unique_handle thread, win::unique_handle error_read)
    : calls_(&calls),
      process_(std::move(process)),
      thread_(std::move(thread)),
      error_read_(std::move(error_read)) {}

// Terminated before its job closes, so it ends with the exit code of every termination.
PendingCore::~PendingCore() {
    if (process_) {
        calls_->terminate(process_.get(), 1);
    }
}

void PendingCore::hand_over(ManagedCore& record) noexcept {
    record.process = std::move(process_);
    record.thread = std::move(thread_);
    record.job = std::move(job_);
}

// Suspended, so that the Core runs its first instruction only once it is in its job and nothing
// it starts can escape the job. Only the handles meant for it are inherited: the handle list
// holds the pipe's write end and the standard handles that exist, nothing else the Helper
// happens to hold as inheritable.
Result<PendingCore> create_suspended_core(CoreSystemCalls& calls, const VerifiedCore& core,
                                          std::string_view address) {
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    DROVANE_RETURN_IF_WIN32_BOOL_FALSE(::CreatePipe(&read_end, &write_end, nullptr, 0));
    win::unique_handle error_read(read_end);
    win::unique_handle error_write(write_end);
    DROVANE_RETURN_IF_WIN32_BOOL_FALSE(
        ::SetHandleInformation(error_write.get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT));
    win::unique_handle input = inheritable_standard_handle(STD_INPUT_HANDLE);
    win::unique_handle output = inheritable_standard_handle(STD_OUTPUT_HANDLE);

    std::vector<HANDLE> inherited{error_write.get()};
    for (HANDLE handle : {input.get(), output.get()}) {
        if (handle != nullptr &&
            std::find(inherited.begin(), inherited.end(), handle) == inherited.end()) {
            inherited.push_back(handle);
        }
    }
    win::ProcessAttributeList attributes;
    DROVANE_RETURN_IF_ERROR(attributes.initialise(1));
    DROVANE_RETURN_IF_WIN32_BOOL_FALSE(::UpdateProcThreadAttribute(
        attributes.get(), 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited.data(),
        inherited.size() * sizeof(HANDLE), nullptr, nullptr));

    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = input.get();
    startup.StartupInfo.hStdOutput = output.get();
    startup.StartupInfo.hStdError = error_write.get();
    startup.lpAttributeList = attributes.get();

    std::wstring command_line = L"\"" + core.path.native() + L"\" " + to_utf16(address);
    PROCESS_INFORMATION created{};
    DROVANE_RETURN_IF_WIN32_BOOL_FALSE(::CreateProcessW(
        core.path.c_str(), command_line.data(), nullptr, nullptr, TRUE,
        CREATE_UNICODE_ENVIRONMENT | CREATE_SUSPENDED | EXTENDED_STARTUPINFO_PRESENT, nullptr,
        core.directory.c_str(), &startup.StartupInfo, &created));
    // Owned at once: nothing between here and the caller can leave the process unowned. The
    // Helper's copies of the write end and of the duplicates close on return, so the Core holds
    // the only write end and its exit ends the stream.
    return PendingCore(calls, win::unique_handle(created.hProcess),
                       win::unique_handle(created.hThread), std::move(error_read));
}

Result<win::unique_handle> confine_core(CoreSystemCalls& calls, HANDLE process) {
    auto job = calls.create_job();
    DROVANE_RETURN_IF_ERROR(job);
    DROVANE_RETURN_IF_ERROR(calls.set_limits(job->get()));
    DROVANE_RETURN_IF_ERROR(calls.assign(job->get(), process));
    return std::move(*job);
}

}  // namespace drovane::hub
