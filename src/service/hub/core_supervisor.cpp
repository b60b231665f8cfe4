#include "service/hub/core_supervisor.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <exception>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "service/hub/core_digest.hpp"
#include "service/hub/core_rules.hpp"
#include "service/hub/helper_log.hpp"
#include "service/hub/sha256.hpp"
#include "service/hub/wire.hpp"
#include "text.hpp"

namespace drovane::hub {

namespace {

using Clock = std::chrono::steady_clock;

// A Core gets this long to exit after termination, and a watcher polls this long for an exit of
// the Core's own once its standard error has ended; both poll at the same period.
constexpr auto kExitWait = std::chrono::milliseconds(1500);
constexpr auto kExitPollPeriod = std::chrono::milliseconds(20);
constexpr std::size_t kHashBufferSize = 4096;
constexpr std::size_t kOutputBufferSize = 8192;
constexpr wchar_t kCoreFileName[] = L"DrovaneCore.exe";
// Longest path GetModuleFileNameW can return, in UTF-16 units, with room for the terminator.
constexpr std::size_t kLongestPath = 32768;

Error last_os_error() {
    return Error::os(::GetLastError());
}

Reply with_protocol_header(Reply reply) {
    return with_header(std::move(reply), kProtocolHeader, kProtocolVersion);
}

// The record of the supervised Core. It owns every handle in it; the standard-stream slots stay
// empty (the read end of the Core's standard error belongs to its output watcher).
struct ManagedCore {
    std::string session_id;
    win::unique_handle process;
    win::unique_handle thread;
    win::unique_handle std_input;
    win::unique_handle std_output;
    win::unique_handle std_error;
    win::unique_handle job;

    ManagedCore() = default;
    ManagedCore(ManagedCore&&) = default;
    ManagedCore& operator=(ManagedCore&&) = default;
    // The job handle goes last: it is the only handle of a kill-on-close job, so closing it ends
    // whatever the Core left running in the job.
    ~ManagedCore() {
        process.reset();
        thread.reset();
        std_input.reset();
        std_output.reset();
        std_error.reset();
        job.reset();
    }
};

// The Core file as verified: held open with read-only sharing until the start has replied, so
// the bytes that were hashed are the bytes that get launched.
struct VerifiedCore {
    std::filesystem::path path;
    std::filesystem::path directory;
    win::unique_file file;
};

// A Core process just created, still suspended.
struct LaunchedCore {
    win::unique_handle process;
    win::unique_handle thread;
    win::unique_handle error_read;
};

// Owns an initialised PROC_THREAD_ATTRIBUTE_LIST and its storage.
class AttributeList {
  public:
    AttributeList() = default;
    AttributeList(const AttributeList&) = delete;
    AttributeList& operator=(const AttributeList&) = delete;
    ~AttributeList() {
        if (initialised_) {
            ::DeleteProcThreadAttributeList(get());
        }
    }

    Status initialise(DWORD count) {
        SIZE_T size = 0;
        ::InitializeProcThreadAttributeList(nullptr, count, 0, &size);
        if (size == 0) {
            return last_os_error();
        }
        storage_ = std::make_unique<std::byte[]>(size);
        if (!::InitializeProcThreadAttributeList(get(), count, 0, &size)) {
            return last_os_error();
        }
        initialised_ = true;
        return {};
    }

    LPPROC_THREAD_ATTRIBUTE_LIST get() const {
        return reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.get());
    }

  private:
    std::unique_ptr<std::byte[]> storage_;
    bool initialised_ = false;
};

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

// Creates the Core process: the Core path as application, the quoted path and the address as
// command line, the Core directory as working directory, the Helper's own environment, the
// Helper's standard input and output and a new pipe as standard error.
//
// It is created suspended, so that it runs its first instruction only once it is in its job and
// nothing it starts can escape the job. Only the handles meant for it are inherited: the handle
// list holds the pipe's write end and the standard handles that exist, nothing else the Helper
// happens to hold as inheritable.
Result<LaunchedCore> create_core_process(const VerifiedCore& core, std::string_view address) {
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    if (!::CreatePipe(&read_end, &write_end, nullptr, 0)) {
        return last_os_error();
    }
    win::unique_handle error_read(read_end);
    win::unique_handle error_write(write_end);
    if (!::SetHandleInformation(error_write.get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT)) {
        return last_os_error();
    }
    win::unique_handle input = inheritable_standard_handle(STD_INPUT_HANDLE);
    win::unique_handle output = inheritable_standard_handle(STD_OUTPUT_HANDLE);

    std::vector<HANDLE> inherited{error_write.get()};
    for (HANDLE handle : {input.get(), output.get()}) {
        if (handle != nullptr &&
            std::find(inherited.begin(), inherited.end(), handle) == inherited.end()) {
            inherited.push_back(handle);
        }
    }
    AttributeList attributes;
    if (auto initialised = attributes.initialise(1); !initialised) {
        return std::move(initialised).error();
    }
    if (!::UpdateProcThreadAttribute(attributes.get(), 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                     inherited.data(), inherited.size() * sizeof(HANDLE), nullptr,
                                     nullptr)) {
        return last_os_error();
    }

    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = input.get();
    startup.StartupInfo.hStdOutput = output.get();
    startup.StartupInfo.hStdError = error_write.get();
    startup.lpAttributeList = attributes.get();

    std::wstring command_line = L"\"" + core.path.native() + L"\" " + to_utf16(address);
    PROCESS_INFORMATION created{};
    if (!::CreateProcessW(
            core.path.c_str(), command_line.data(), nullptr, nullptr, TRUE,
            CREATE_UNICODE_ENVIRONMENT | CREATE_SUSPENDED | EXTENDED_STARTUPINFO_PRESENT, nullptr,
            core.directory.c_str(), &startup.StartupInfo, &created)) {
        return last_os_error();
    }
    // The Helper's copies of the write end and of the duplicates close on return: from now on
    // the Core holds the only write end, so its exit ends the stream.
    return LaunchedCore{win::unique_handle(created.hProcess), win::unique_handle(created.hThread),
                        std::move(error_read)};
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The real system calls.

void CoreSystemCalls::terminate(HANDLE process, std::uint32_t exit_code) {
    ::TerminateProcess(process, exit_code);
}

Result<std::optional<std::uint32_t>> CoreSystemCalls::poll(HANDLE process) {
    switch (::WaitForSingleObject(process, 0)) {
        case WAIT_OBJECT_0: {
            DWORD code = 0;
            if (!::GetExitCodeProcess(process, &code)) {
                return last_os_error();
            }
            return std::optional<std::uint32_t>(code);
        }
        case WAIT_TIMEOUT:
            return std::optional<std::uint32_t>();
        default:
            return last_os_error();
    }
}

Result<win::unique_handle> CoreSystemCalls::create_job() {
    HANDLE job = ::CreateJobObjectW(nullptr, nullptr);
    if (job == nullptr) {
        return last_os_error();
    }
    return win::unique_handle(job);
}

Status CoreSystemCalls::set_limits(HANDLE job) {
    // Kill-on-close and nothing else.
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!::SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits,
                                   sizeof limits)) {
        return last_os_error();
    }
    return {};
}

Status CoreSystemCalls::assign(HANDLE job, HANDLE process) {
    if (!::AssignProcessToJobObject(job, process)) {
        return last_os_error();
    }
    return {};
}

// ---------------------------------------------------------------------------------------------

Result<std::filesystem::path> own_executable_path() {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        DWORD length =
            ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) {
            return last_os_error();
        }
        if (length < buffer.size()) {
            buffer.resize(length);
            return std::filesystem::path(std::move(buffer));
        }
        // The path was cut short: try again with more room.
        if (buffer.size() >= kLongestPath) {
            return Error::os(ERROR_INSUFFICIENT_BUFFER);
        }
        buffer.resize(std::min(buffer.size() * 2, kLongestPath));
    }
}

Result<std::filesystem::path> locate_core_executable() {
    auto own = own_executable_path();
    if (!own) {
        return std::move(own).error();
    }
    if (!own->has_parent_path()) {
        return Error("helper executable has no parent directory");
    }
    return own->parent_path() / kCoreFileName;
}

Result<std::string> hash_open_file(HANDLE file) {
    auto digest = Sha256::create();
    if (!digest) {
        return std::move(digest).error();
    }
    std::array<std::byte, kHashBufferSize> buffer;
    for (;;) {
        DWORD read = 0;
        if (!::ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr)) {
            return last_os_error();
        }
        if (read == 0) {
            break;
        }
        if (auto fed = digest->update(std::span(buffer.data(), read)); !fed) {
            return std::move(fed).error();
        }
    }
    auto result = digest->finish();
    if (!result) {
        return std::move(result).error();
    }
    return to_lower_hex(*result);
}

// ---------------------------------------------------------------------------------------------

struct SupervisorState {
    std::optional<std::filesystem::path> core_path;
    std::string expected_digest;
    std::shared_ptr<CoreSystemCalls> calls;
    std::function<void(const std::filesystem::path&)> after_verification;

    // The Core lock guards core_slot. A plain mutex: a holder that fails abnormally unlocks it
    // through its guard and leaves the slot as it was, and later holders carry on with it.
    std::mutex core_lock;
    std::optional<ManagedCore> core_slot;

    Result<std::filesystem::path> core_executable() const {
        if (core_path) {
            return *core_path;
        }
        return locate_core_executable();
    }

    // Terminates the held Core and waits for its exit; the caller holds the Core lock. On any
    // failure the record stays as it was.
    Status release_core() {
        if (!core_slot) {
            return {};
        }
        calls->terminate(core_slot->process.get(), 1);
        const auto deadline = Clock::now() + kExitWait;
        for (;;) {
            auto polled = calls->poll(core_slot->process.get());
            if (!polled) {
                return std::move(polled).error();
            }
            if (polled->has_value()) {
                core_slot.reset();
                return {};
            }
            if (Clock::now() >= deadline) {
                return Error("Core did not exit after termination");
            }
            std::this_thread::sleep_for(kExitPollPeriod);
        }
    }

    Result<VerifiedCore> verify_core_executable() const {
        auto path = core_executable();
        if (!path) {
            return std::move(path).error();
        }
        if (!path->has_parent_path()) {
            return Error("Core executable has no parent directory");
        }
        VerifiedCore core{*path, path->parent_path(), {}};
        // Read-only sharing: while this handle is open nobody can write, rename or delete it.
        core.file.reset(::CreateFileW(core.path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!core.file) {
            return last_os_error();
        }
        auto digest = hash_open_file(core.file.get());
        if (!digest) {
            return std::move(digest).error();
        }
        if (*digest != expected_digest) {
            return Error("Core executable SHA256 mismatch");
        }
        return core;
    }
};

namespace {

// Copies the Core's standard-error lines into the Helper log until the stream ends, then watches
// for a short while whether the Core exits by itself.
void watch_core_output(std::shared_ptr<SupervisorState> state, std::string session_id,
                       win::unique_handle pipe) {
    {
        std::vector<char> buffer(kOutputBufferSize);
        CoreLineSplitter lines([](std::string line) { append_helper_log(std::move(line)); });
        for (;;) {
            DWORD read = 0;
            if (!::ReadFile(pipe.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read,
                            nullptr)) {
                DWORD code = ::GetLastError();
                if (code == ERROR_OPERATION_ABORTED) {
                    continue;  // an interrupted read
                }
                if (code == ERROR_BROKEN_PIPE) {
                    lines.finish();  // the writer has gone: the end of the stream
                }
                break;
            }
            if (read == 0) {
                lines.finish();
                break;
            }
            if (!lines.feed(std::string_view(buffer.data(), read))) {
                break;
            }
        }
    }
    // From here the Core's writes to its standard error fail.
    pipe.reset();

    const auto deadline = Clock::now() + kExitWait;
    for (;;) {
        {
            std::lock_guard lock(state->core_lock);
            auto& slot = state->core_slot;
            // Stopped or replaced meanwhile: that was a requested end, not the Core's own.
            if (!slot || slot->session_id != session_id) {
                return;
            }
            auto polled = state->calls->poll(slot->process.get());
            if (!polled) {
                return;
            }
            if (polled->has_value()) {
                append_helper_log("Core exited on its own: " + format_exit_status(**polled));
                slot.reset();
                return;
            }
        }
        if (Clock::now() >= deadline) {
            return;
        }
        std::this_thread::sleep_for(kExitPollPeriod);
    }
}

void run_watcher(std::shared_ptr<SupervisorState> state, std::string session_id,
                 win::unique_handle pipe) noexcept {
    try {
        watch_core_output(std::move(state), std::move(session_id), std::move(pipe));
    } catch (...) {
        // Nobody waits for a watcher: whatever went wrong ends only this thread.
    }
}

Reply launch_core(const std::shared_ptr<SupervisorState>& state, const VerifiedCore& core,
                  const StartParams& params) {
    auto launched = create_core_process(core, params.address);
    if (!launched) {
        const Error& error = launched.error();
        std::string text = error.text();
        append_helper_log(text);
        std::optional<std::int32_t> os_error;
        if (auto code = error.os_code()) {
            os_error = static_cast<std::int32_t>(*code);
        }
        return error_reply(500, "processLaunchFailed", text, os_error);
    }
    LaunchedCore& created = *launched;
    const DWORD pid = ::GetProcessId(created.process.get());

    try {
        std::thread(run_watcher, state, params.session_id, std::move(created.error_read)).detach();
    } catch (const std::exception& failure) {
        // Not yet resumed: end it rather than leave it suspended and unrecorded.
        state->calls->terminate(created.process.get(), 1);
        return error_reply(500, "internalError",
                           std::string("Core start task failed: ") + failure.what());
    }

    win::unique_handle job;
    Status confined = [&]() -> Status {
        auto made = state->calls->create_job();
        if (!made) {
            return std::move(made).error();
        }
        job = std::move(*made);
        if (auto limited = state->calls->set_limits(job.get()); !limited) {
            return limited;
        }
        return state->calls->assign(job.get(), created.process.get());
    }();
    if (!confined) {
        // The Core has not run a single instruction yet: end it instead of letting it run
        // outside any job, unrecorded. Its watcher sees the stream end and finds no record.
        state->calls->terminate(created.process.get(), 1);
        job.reset();
        created = {};
        std::string text = confined.error().text();
        append_helper_log("Helper could not confine the Core: " + text);
        return error_reply(500, "internalError", "Core confinement failed: " + text);
    }

    if (::ResumeThread(created.thread.get()) == static_cast<DWORD>(-1)) {
        Error error = last_os_error();
        state->calls->terminate(created.process.get(), 1);
        std::string text = error.text();
        append_helper_log(text);
        return error_reply(500, "processLaunchFailed", text,
                           static_cast<std::int32_t>(error.os_code().value_or(0)));
    }

    ManagedCore record;
    record.session_id = params.session_id;
    record.process = std::move(created.process);
    record.thread = std::move(created.thread);
    record.job = std::move(job);
    state->core_slot.emplace(std::move(record));
    return json_reply(200, StartReply{params.session_id, static_cast<std::uint32_t>(pid)});
}

}  // namespace

// ---------------------------------------------------------------------------------------------

CoreSupervisor::CoreSupervisor(CoreSupervisorOptions options)
    : state_(std::make_shared<SupervisorState>()) {
    state_->core_path = std::move(options.core_path);
    state_->expected_digest = options.expected_digest ? std::move(*options.expected_digest)
                                                      : std::string(expected_core_digest());
    state_->calls = options.calls ? std::move(options.calls) : std::make_shared<CoreSystemCalls>();
    state_->after_verification = std::move(options.after_verification);
}

// Going away with a Core held is the Helper going away: discarding the record closes the job,
// which ends the Core, whose watcher then finds nothing to do.
CoreSupervisor::~CoreSupervisor() {
    std::lock_guard lock(state_->core_lock);
    state_->core_slot.reset();
}

Reply CoreSupervisor::ping_helper(std::string core_sha256) {
    if (core_sha256 != state_->expected_digest) {
        append_helper_log("Helper ping rejected a Core SHA256 mismatch");
        return with_protocol_header(error_reply(409, "coreSha256Mismatch", "Core SHA256 mismatch"));
    }
    auto own_path = [&]() -> Result<std::filesystem::path> {
        auto core = state_->core_executable();
        if (!core) {
            return std::move(core).error();
        }
        win::unique_file file(::CreateFileW(core->c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            return last_os_error();
        }
        file.reset();
        return own_executable_path();
    }();
    if (!own_path) {
        std::string text = own_path.error().text();
        append_helper_log("Helper ping failed: " + text);
        return with_protocol_header(text_reply(409, std::move(text)));
    }
    return with_protocol_header(text_reply(200, to_utf8(own_path->native())));
}

Reply CoreSupervisor::start_core(StartParams params) {
    if (!is_valid_core_address(params.address)) {
        return error_reply(400, "invalidRequest", "invalid Core address");
    }
    if (!is_valid_session_id(params.session_id)) {
        return error_reply(400, "invalidRequest", "invalid Core session ID");
    }
    std::lock_guard lock(state_->core_lock);
    if (auto released = state_->release_core(); !released) {
        std::string text = released.error().text();
        append_helper_log("Helper could not release the managed Core: " + text);
        return error_reply(500, "coreStopFailed", text);
    }
    auto verified = state_->verify_core_executable();
    if (!verified) {
        return error_reply(409, "coreVerificationFailed", verified.error().text());
    }
    if (state_->after_verification) {
        state_->after_verification(verified->path);
    }
    // The reply is built before `verified` closes the Core file and before the lock is released.
    return launch_core(state_, *verified, params);
}

Reply CoreSupervisor::stop_core(StopParams params) {
    if (!is_valid_session_id(params.session_id)) {
        return error_reply(400, "invalidRequest", "invalid Core session ID");
    }
    std::lock_guard lock(state_->core_lock);
    if (!state_->core_slot) {
        return json_reply(200, StopReply{params.session_id, false, std::string("notRunning")});
    }
    if (state_->core_slot->session_id != params.session_id) {
        return json_reply(409, StopReply{params.session_id, false, std::string("sessionMismatch")});
    }
    if (auto released = state_->release_core(); !released) {
        std::string text = released.error().text();
        append_helper_log("Helper could not stop the managed Core: " + text);
        return error_reply(500, "coreStopFailed", text);
    }
    return json_reply(200, StopReply{params.session_id, true, std::nullopt});
}

void CoreSupervisor::stop_core_on_shutdown() {
    std::lock_guard lock(state_->core_lock);
    if (auto released = state_->release_core(); !released) {
        append_helper_log("Helper could not stop the managed Core on shutdown: " +
                          released.error().text());
    }
}

std::optional<std::string> CoreSupervisor::held_session() const {
    std::lock_guard lock(state_->core_lock);
    if (!state_->core_slot) {
        return std::nullopt;
    }
    return state_->core_slot->session_id;
}

}  // namespace drovane::hub
