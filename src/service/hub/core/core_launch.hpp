// The Core's launch: the process created suspended with only its own handles inherited and an
// image-load policy that keeps DLLs planted beside it out, and its confinement in a kill-on-close
// job before it runs its first instruction.
#pragma once

#include <optional>
#include <string_view>
#include <utility>

#include "error.hpp"
#include "service/hub/core/core_executable.hpp"
#include "service/hub/core/core_system_calls.hpp"
#include "service/hub/core/managed_core.hpp"
#include "win/handles.hpp"
#include "win/process_attribute_list.hpp"

namespace drovane::hub {

// A Core process that exists but has not run yet. Until its handles move into a record, this
// object is the Core's only owner, and discarding it (on any way out, an exception included)
// terminates the process: nothing may be left suspended or running unrecorded.
class PendingCore {
  public:
    PendingCore(CoreSystemCalls& calls, win::unique_handle process, win::unique_handle thread,
                win::unique_handle error_read,
                std::optional<Error> image_load_policy_refusal = std::nullopt);
    PendingCore(PendingCore&& other) noexcept = default;
    PendingCore& operator=(PendingCore&&) = delete;
    PendingCore(const PendingCore&) = delete;
    PendingCore& operator=(const PendingCore&) = delete;
    ~PendingCore();

    HANDLE process() const { return process_.get(); }
    HANDLE thread() const { return thread_.get(); }
    // The read end of the Core's standard-error pipe, for its output watcher.
    win::unique_handle take_error_read() { return std::move(error_read_); }
    // The Core's job, once it is in it; closed only after the Core has been terminated.
    void keep_job(win::unique_handle job) noexcept { job_ = std::move(job); }

    // Why the Core was created without its image-load policy, when the system refused it.
    const std::optional<Error>& image_load_policy_refusal() const {
        return image_load_policy_refusal_;
    }

    // Moves the process, thread and job handles into `record`, which owns the Core from then on.
    void hand_over(ManagedCore& record) noexcept;

  private:
    CoreSystemCalls* calls_;
    win::unique_handle process_;
    win::unique_handle thread_;
    win::unique_handle error_read_;
    win::unique_handle job_;
    std::optional<Error> image_load_policy_refusal_;
};

// The process-creation mitigation policy of the Core's image loads: System32 before the Core's
// own directory, never an image from a remote share, never one with a low integrity label. A DLL
// planted beside the Core under a system DLL's name is then not the one loaded.
inline constexpr DWORD64 kCoreImageLoadPolicy =
    PROCESS_CREATION_MITIGATION_POLICY_IMAGE_LOAD_PREFER_SYSTEM32_ALWAYS_ON |
    PROCESS_CREATION_MITIGATION_POLICY_IMAGE_LOAD_NO_REMOTE_ALWAYS_ON |
    PROCESS_CREATION_MITIGATION_POLICY_IMAGE_LOAD_NO_LOW_LABEL_ALWAYS_ON;

// Creates the Core process suspended: the Core path as application, the quoted path and the
// address as command line, the Core directory as working directory, the Helper's own environment,
// the Helper's standard input and output and a new pipe as standard error, and the image-load
// policy where the system takes it.
Result<PendingCore> create_suspended_core(CoreSystemCalls& calls, const VerifiedCore& core,
                                          std::string_view address);

// The kill-on-close job holding `process`: created, limited and assigned in this order, stopping
// at the first failure.
Result<win::unique_handle> confine_core(CoreSystemCalls& calls, HANDLE process);

}  // namespace drovane::hub
