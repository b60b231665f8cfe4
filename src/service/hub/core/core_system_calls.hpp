// The system calls of Core supervision whose failure the platform cannot produce on demand. The
// product uses this class as it is; a test derives from it to fail or delay one call.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>

#include "error.hpp"
#include "win/handles.hpp"

namespace drovane::hub {

class CoreSystemCalls {
  public:
    virtual ~CoreSystemCalls() = default;
    // UpdateProcThreadAttribute: `value` must stay valid until the list is deleted.
    virtual Status add_attribute(LPPROC_THREAD_ATTRIBUTE_LIST list, DWORD_PTR attribute,
                                 void* value, std::size_t size);
    // CreateProcessW with the startup information's attribute list
    // (EXTENDED_STARTUPINFO_PRESENT is added to `flags`) and handle inheritance on.
    virtual Result<PROCESS_INFORMATION> create_process(const wchar_t* application,
                                                       wchar_t* command_line, DWORD flags,
                                                       const wchar_t* directory,
                                                       STARTUPINFOEXW& startup);
    // TerminateProcess; its result is of no interest to the caller.
    virtual void terminate(HANDLE process, std::uint32_t exit_code);
    // A zero-timeout wait: the exit code once the process has exited, nothing while it runs.
    virtual Result<std::optional<std::uint32_t>> poll(HANDLE process);
    // An unnamed job object with default security.
    virtual Result<win::unique_handle> create_job();
    // Kill-on-close and no other limit.
    virtual Status set_limits(HANDLE job);
    virtual Status assign(HANDLE job, HANDLE process);
    // Lets the suspended primary thread of a new process run.
    virtual Status resume(HANDLE thread);
    // Runs `body` on a new detached thread; throws std::system_error when none can be made.
    virtual void start_thread(std::function<void()> body);

    // Set once a Core has been created with its image-load policy: this system takes the
    // policy, so a later failure of a creation with it is not a refusal of the policy.
    std::atomic<bool> image_load_policy_applied{false};
};

}  // namespace drovane::hub
