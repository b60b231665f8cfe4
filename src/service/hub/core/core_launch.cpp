#include "service/hub/core/core_launch.hpp"

#include <algorithm>
#include <cstddef>
#include <memory>
#include <optional>
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
                         win::unique_handle thread, win::unique_handle error_read,
                         std::optional<Error> image_load_policy_refusal)
    : calls_(&calls),
      process_(std::move(process)),
      thread_(std::move(thread)),
      error_read_(std::move(error_read)),
      image_load_policy_refusal_(std::move(image_load_policy_refusal)) {}

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

namespace {

// One CreateProcessW of the Core, with the handle list and, when asked, the image-load policy in
// its attribute list. `creation_failed` tells a failure of the creation itself from one of the
// attribute list.
Result<PROCESS_INFORMATION> create_core_process(CoreSystemCalls& calls, const VerifiedCore& core,
                                                std::wstring command_line,
                                                std::vector<HANDLE> inherited,
                                                STARTUPINFOEXW startup, bool image_load_policy,
                                                bool& creation_failed) {
    creation_failed = false;
    win::ProcessAttributeList attributes;
    DROVANE_RETURN_IF_ERROR(attributes.initialise(image_load_policy ? 2 : 1));
    DROVANE_RETURN_IF_ERROR(calls.add_attribute(attributes.get(), PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                                inherited.data(),
                                                inherited.size() * sizeof(HANDLE)));
    DWORD64 policy = kCoreImageLoadPolicy;  // read by CreateProcessW, so it lives as long
    if (image_load_policy) {
        DROVANE_RETURN_IF_ERROR_MSG(
            calls.add_attribute(attributes.get(), PROC_THREAD_ATTRIBUTE_MITIGATION_POLICY, &policy,
                                sizeof policy),
            "add the Core's image-load policy");
    }
    startup.lpAttributeList = attributes.get();
    auto created = calls.create_process(core.path.c_str(), command_line.data(),
                                        CREATE_UNICODE_ENVIRONMENT | CREATE_SUSPENDED,
                                        core.directory.c_str(), startup);
    creation_failed = !created;
    return created;
}

// The answers of a system that does not know the image-load policy (one older than the policy):
// it rejects the attribute or the creation that carries it as not supported or as an invalid
// parameter. Any other failure (out of memory, a commit limit, ...) says nothing about the policy.
bool refuses_the_policy(const Error& failure) {
    const std::optional<std::uint32_t> code = failure.os_code();
    return code == ERROR_NOT_SUPPORTED || code == ERROR_INVALID_PARAMETER;
}

}  // namespace

// Suspended, so that the Core runs its first instruction only once it is in its job and nothing
// it starts can escape the job. Only the handles meant for it are inherited: the handle list
// holds the pipe's write end and the standard handles that exist, nothing else the Helper
// happens to hold as inheritable. A system that refuses the image-load policy gets the Core
// without it rather than no Core; once the policy has been applied in this process, the system
// takes it, and a creation with it that fails is the launch's failure, as is every failure that
// is not a refusal of the policy. When the Core cannot be created without the policy either,
// that failure is the launch's.
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
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = input.get();
    startup.StartupInfo.hStdOutput = output.get();
    startup.StartupInfo.hStdError = error_write.get();

    const std::wstring command_line = L"\"" + core.path.native() + L"\" " + to_utf16(address);
    std::optional<Error> refusal;
    bool creation_failed = false;
    auto created =
        create_core_process(calls, core, command_line, inherited, startup, true, creation_failed);
    if (created) {
        calls.image_load_policy_applied = true;
    } else {
        if (calls.image_load_policy_applied || !refuses_the_policy(created.error())) {
            return std::move(created).error();  // the launch's own failure, as it came
        }
        refusal =
            creation_failed
                ? std::move(created).error().context("create the Core with its image-load policy")
                : std::move(created).error();
        auto without = create_core_process(calls, core, command_line, inherited, startup, false,
                                           creation_failed);
        if (!without) {
            return std::move(without).error();
        }
        created = std::move(without);
    }
    // Owned at once: nothing between here and the caller can leave the process unowned. The
    // Helper's copies of the write end and of the duplicates close on return, so the Core holds
    // the only write end and its exit ends the stream.
    return PendingCore(calls, win::unique_handle(created->hProcess),
                       win::unique_handle(created->hThread), std::move(error_read),
                       std::move(refusal));
}

Result<win::unique_handle> confine_core(CoreSystemCalls& calls, HANDLE process) {
    auto job = calls.create_job();
    DROVANE_RETURN_IF_ERROR(job);
    DROVANE_RETURN_IF_ERROR(calls.set_limits(job->get()));
    DROVANE_RETURN_IF_ERROR(calls.assign(job->get(), process));
    return std::move(*job);
}

}  // namespace drovane::hub
