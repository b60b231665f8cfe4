// The Core supervisor with the sample Core (tests/sample_core), called directly.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <variant>
#include <vector>

#include "core_digest.hpp"
#include "sample_core_digest.hpp"
#include "service/hub/core/core_launch.hpp"
#include "service/hub/core/core_rules.hpp"
#include "service/hub/core/core_supervisor.hpp"
#include "service/hub/helper_log.hpp"
#include "sha256_file.hpp"
#include "text.hpp"
#include "win/handles.hpp"
#include "win/module_path.hpp"

// After <windows.h>, which it needs.
#include <psapi.h>

namespace drovane::hub {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string kSession = "0123456789abcdef0123456789abcdef";
const std::string kOtherSession = "fedcba9876543210fedcba9876543210";

// A Core address whose first hex characters choose the sample Core's behaviour.
std::string address(std::string mode) {
    mode.resize(32, '0');
    return "\\\\.\\pipe\\DrovaneCore_" + mode;
}

fs::path test_directory() {
    return win::own_executable_path().value().parent_path();
}
fs::path sample_core() {
    return test_directory() / "DrovaneCore.exe";
}

std::string file_digest(const fs::path& path) {
    win::unique_file file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, 0, nullptr));
    EXPECT_TRUE(file) << path;
    auto digest = hash_open_file(file.get());
    EXPECT_TRUE(digest.ok());
    return digest ? *digest : std::string();
}

// The outcomes are checked in the supervision's terms; the replies they become are the router
// tests' concern.
template <typename Outcome>
void expect_failure(const Outcome& outcome, CoreFailureKind kind, std::string_view message) {
    const CoreFailure* failure = std::get_if<CoreFailure>(&outcome);
    ASSERT_NE(failure, nullptr);
    EXPECT_EQ(failure->kind, kind) << failure->error.text();
    EXPECT_EQ(failure->error.text(), message);
}

std::uint32_t started_pid(const StartOutcome& outcome) {
    const auto* failure = std::get_if<CoreFailure>(&outcome);
    EXPECT_EQ(failure, nullptr) << failure->error.text();
    return failure == nullptr ? std::get<CoreStarted>(outcome).pid : 0;
}

void expect_stop(const StopOutcome& outcome, CoreStopped expected) {
    const auto* failure = std::get_if<CoreFailure>(&outcome);
    ASSERT_EQ(failure, nullptr) << failure->error.text();
    EXPECT_EQ(std::get<CoreStopped>(outcome), expected);
}

// A handle to a launched process, to see its end from outside the supervisor.
win::unique_handle open_process(std::uint32_t pid) {
    win::unique_handle process(
        ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    EXPECT_TRUE(process) << "pid " << pid;
    return process;
}

// The exit code once the process has ended within the timeout, or nothing.
std::optional<DWORD> exit_code_within(HANDLE process, std::chrono::milliseconds timeout) {
    if (::WaitForSingleObject(process, static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) {
        return std::nullopt;
    }
    DWORD code = 0;
    ::GetExitCodeProcess(process, &code);
    return code;
}

bool running(HANDLE process) {
    return ::WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
}

// The most memory this process has held so far (under Wine, the Linux process's VmHWM).
std::size_t peak_working_set() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    EXPECT_TRUE(::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters));
    return counters.PeakWorkingSetSize;
}

// The handles this process holds, from the system's handle table: GetProcessHandleCount always
// says 0 under Wine.
std::size_t own_handle_count() {
    using Query = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
    constexpr ULONG kSystemHandleInformation = 16;
    constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);
    struct Entry {
        ULONG pid;
        BYTE type;
        BYTE flags;
        USHORT handle;
        PVOID object;
        ACCESS_MASK access;
    };
    struct Table {
        ULONG count;
        Entry entries[1];
    };
    static const auto query = reinterpret_cast<Query>(reinterpret_cast<void (*)()>(
        ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    std::vector<std::byte> buffer(1 << 16);
    LONG status = 0;
    for (;;) {
        ULONG needed = 0;
        status = query(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()),
                       &needed);
        if (status != kInfoLengthMismatch) {
            break;
        }
        buffer.resize(buffer.size() * 2);
    }
    EXPECT_EQ(status, 0);
    ULONG count = 0;
    std::memcpy(&count, buffer.data(), sizeof count);
    std::size_t own = 0;
    for (ULONG i = 0; i < count; ++i) {
        const std::size_t at = offsetof(Table, entries) + i * sizeof(Entry);
        if (status != 0 || at + sizeof(Entry) > buffer.size()) {
            break;
        }
        Entry entry;
        std::memcpy(&entry, buffer.data() + at, sizeof entry);
        own += entry.pid == ::GetCurrentProcessId() ? 1 : 0;
    }
    return own;
}

// The calls of the launch between the suspended create and the record.
enum class LaunchStep { none, create_job, set_limits, assign, start_thread, resume };

// Seams whose failure a test switches on and off; otherwise the real calls.
class TestCalls : public CoreSystemCalls {
  public:
    // The step that throws, as an allocation or thread creation failure would.
    std::atomic<LaunchStep> throw_at{LaunchStep::none};
    std::atomic<DWORD> resume_error{0};
    std::atomic<bool> ignore_terminate{false};
    std::atomic<DWORD> poll_error{0};
    std::atomic<DWORD> create_job_error{0};
    std::atomic<DWORD> set_limits_error{0};
    std::atomic<DWORD> assign_error{0};
    // Widens the time between creating the Core and confining it, where an unconfined Core
    // would already run.
    std::atomic<int> create_job_delay_ms{0};
    std::vector<win::unique_handle> terminated;  // duplicates of every process terminated
    // The system refuses the image-load policy: when it is added to the attribute list, or when
    // a process is created with it.
    std::atomic<DWORD> policy_add_error{0};
    std::atomic<DWORD> policy_create_error{0};

    // One attribute of a list: its number and the bytes of its value.
    struct Attribute {
        DWORD_PTR id;
        std::string value;
        bool operator==(const Attribute&) const = default;
    };
    // The attribute list of every process creation, in order.
    std::vector<std::vector<Attribute>> created_with;

    Status add_attribute(LPPROC_THREAD_ATTRIBUTE_LIST list, DWORD_PTR attribute, void* value,
                         std::size_t size) override {
        if (attribute == PROC_THREAD_ATTRIBUTE_MITIGATION_POLICY) {
            if (DWORD code = policy_add_error) {
                return Error::os(code);
            }
        }
        // The handle list comes first: a list at a reused address starts afresh.
        if (attribute == PROC_THREAD_ATTRIBUTE_HANDLE_LIST) {
            lists_[list].clear();
        }
        lists_[list].push_back({attribute, std::string(static_cast<const char*>(value), size)});
        return CoreSystemCalls::add_attribute(list, attribute, value, size);
    }
    Result<PROCESS_INFORMATION> create_process(const wchar_t* application, wchar_t* command_line,
                                               DWORD flags, const wchar_t* directory,
                                               STARTUPINFOEXW& startup) override {
        std::vector<Attribute> attributes = std::move(lists_[startup.lpAttributeList]);
        lists_.erase(startup.lpAttributeList);
        const bool with_policy = std::any_of(attributes.begin(), attributes.end(), [](auto& a) {
            return a.id == PROC_THREAD_ATTRIBUTE_MITIGATION_POLICY;
        });
        created_with.push_back(std::move(attributes));
        if (DWORD code = policy_create_error; code != 0 && with_policy) {
            return Error::os(code);
        }
        return CoreSystemCalls::create_process(application, command_line, flags, directory,
                                               startup);
    }

    void terminate(HANDLE process, std::uint32_t exit_code) override {
        HANDLE duplicate = nullptr;
        HANDLE self = ::GetCurrentProcess();
        if (::DuplicateHandle(self, process, self, &duplicate, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
            terminated.emplace_back(duplicate);
        }
        if (!ignore_terminate) {
            CoreSystemCalls::terminate(process, exit_code);
        }
    }
    Result<std::optional<std::uint32_t>> poll(HANDLE process) override {
        if (DWORD code = poll_error) {
            return Error::os(code);
        }
        return CoreSystemCalls::poll(process);
    }
    Result<win::unique_handle> create_job() override {
        std::this_thread::sleep_for(std::chrono::milliseconds(create_job_delay_ms.load()));
        throw_if(LaunchStep::create_job);
        if (DWORD code = create_job_error) {
            return Error::os(code);
        }
        return CoreSystemCalls::create_job();
    }
    Status set_limits(HANDLE job) override {
        throw_if(LaunchStep::set_limits);
        if (DWORD code = set_limits_error) {
            return Error::os(code);
        }
        return CoreSystemCalls::set_limits(job);
    }
    Status assign(HANDLE job, HANDLE process) override {
        throw_if(LaunchStep::assign);
        if (DWORD code = assign_error) {
            return Error::os(code);
        }
        return CoreSystemCalls::assign(job, process);
    }
    Status resume(HANDLE thread) override {
        throw_if(LaunchStep::resume);
        if (DWORD code = resume_error) {
            return Error::os(code);
        }
        return CoreSystemCalls::resume(thread);
    }
    void start_thread(std::function<void()> body) override {
        if (throw_at == LaunchStep::start_thread) {
            throw std::system_error(
                std::make_error_code(std::errc::resource_unavailable_try_again));
        }
        CoreSystemCalls::start_thread(std::move(body));
    }

  private:
    std::map<LPPROC_THREAD_ATTRIBUTE_LIST, std::vector<Attribute>> lists_;

    void throw_if(LaunchStep step) {
        if (throw_at == step) {
            throw std::bad_alloc();
        }
    }
};

class CoreSupervisorTest : public ::testing::Test {
  protected:
    void SetUp() override { calls_ = std::make_shared<TestCalls>(); }

    void TearDown() override {
        std::error_code ignored;
        if (!temp_.empty()) {
            supervisor_.reset();
            fs::remove_all(temp_, ignored);
        }
    }

    // A supervisor over the given Core file, expecting the sample Core's digest.
    CoreSupervisor& supervisor(std::optional<fs::path> core = std::nullopt,
                               std::function<void(const fs::path&)> hook = {}) {
        CoreSupervisorOptions options;
        options.core_path = core.value_or(sample_core());
        options.expected_digest = kSampleCoreDigest;
        options.calls = calls_;
        options.after_verification_for_testing = std::move(hook);
        options.log = log_;
        supervisor_ = std::make_unique<CoreSupervisor>(std::move(options));
        return *supervisor_;
    }

    // A private copy of the sample Core that a test may change.
    fs::path core_copy() {
        temp_ = fs::temp_directory_path() /
                ("drovane-core-test-" + std::to_string(::GetCurrentProcessId()));
        fs::create_directories(temp_);
        fs::path copy = temp_ / "DrovaneCore.exe";
        fs::copy_file(sample_core(), copy, fs::copy_options::overwrite_existing);
        return copy;
    }

    // The lines of this test's own log.
    std::vector<std::string> new_log() const {
        std::string body = log_->text();
        std::vector<std::string> lines;
        if (body.empty()) {
            return lines;
        }
        std::size_t at = 0;
        while (at <= body.size()) {
            std::size_t end = body.find('\n', at);
            if (end == std::string::npos) {
                end = body.size();
            }
            lines.push_back(body.substr(at, end - at));
            at = end + 1;
        }
        return lines;
    }

    bool logged(const std::string& line) const {
        auto lines = new_log();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }

    bool wait_for(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 30s) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!condition()) {
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            std::this_thread::sleep_for(20ms);
        }
        return true;
    }

    bool wait_for_line(const std::string& line, std::chrono::milliseconds timeout = 30s) {
        return wait_for([&] { return logged(line); }, timeout);
    }

    std::shared_ptr<HelperLogList> log_ = std::make_shared<HelperLogList>(kHelperLogCapacity);
    std::shared_ptr<TestCalls> calls_;
    std::unique_ptr<CoreSupervisor> supervisor_;
    fs::path temp_;
};

TEST_F(CoreSupervisorTest, StartRunsTheCoreInItsJobAndStopEndsIt) {
    calls_->create_job_delay_ms = 300;
    auto& core = supervisor();
    const std::string address_text = address("a11");
    StartOutcome started = core.start_core({address_text, kSession});
    std::uint32_t pid = started_pid(started);
    auto process = open_process(pid);
    EXPECT_EQ(::GetProcessId(process.get()), pid);
    EXPECT_EQ(core.held_session_for_testing(), kSession);
    // Its first line, written before anything else it does: it already runs inside the job.
    EXPECT_TRUE(wait_for_line("sample Core " + address_text + " in job: yes"));

    expect_stop(core.stop_core({kSession}), CoreStopped::stopped);
    EXPECT_EQ(exit_code_within(process.get(), 0ms), 1u);
    EXPECT_FALSE(core.held_session_for_testing());
    expect_stop(core.stop_core({kSession}), CoreStopped::not_running);
    // A requested stop is no exit of the Core's own.
    std::this_thread::sleep_for(300ms);
    for (const std::string& line : new_log()) {
        EXPECT_EQ(line.find("Core exited on its own"), std::string::npos) << line;
    }
}

TEST_F(CoreSupervisorTest, MalformedRequestsAreRejectedBeforeTheLock) {
    auto& core = supervisor();
    const std::string prefix = "\\\\.\\pipe\\DrovaneCore_";
    const std::string hex = "0123456789abcdef0123456789abcdef";
    for (const std::string& bad :
         {prefix + "0123456789ABCDEF0123456789abcdef", prefix + hex.substr(1), prefix + hex + "0",
          "\\\\.\\pipe\\drovanecore_" + hex}) {
        expect_failure(core.start_core({bad, kSession}), CoreFailureKind::invalid_address,
                       "invalid Core address");
        // Both wrong: the address is named.
        expect_failure(core.start_core({bad, "X"}), CoreFailureKind::invalid_address,
                       "invalid Core address");
    }
    for (const std::string& bad : {std::string("0123456789abcdeF0123456789abcdef"), hex.substr(1),
                                   hex + "0", std::string()}) {
        expect_failure(core.start_core({address("a11"), bad}), CoreFailureKind::invalid_session,
                       "invalid Core session ID");
        expect_failure(core.stop_core({bad}), CoreFailureKind::invalid_session,
                       "invalid Core session ID");
    }
    EXPECT_FALSE(core.held_session_for_testing());
    EXPECT_TRUE(new_log().empty());
}

TEST_F(CoreSupervisorTest, StopNamesTheHeldSession) {
    auto& core = supervisor();
    expect_stop(core.stop_core({kSession}), CoreStopped::not_running);
    auto process = open_process(started_pid(core.start_core({address("a11"), kSession})));
    expect_stop(core.stop_core({kOtherSession}), CoreStopped::session_mismatch);
    EXPECT_TRUE(running(process.get()));
    EXPECT_EQ(core.held_session_for_testing(), kSession);
    expect_stop(core.stop_core({kSession}), CoreStopped::stopped);
    EXPECT_EQ(exit_code_within(process.get(), 0ms), 1u);
}

TEST_F(CoreSupervisorTest, StartReplacesTheHeldCoreEvenUnderTheSameSession) {
    auto& core = supervisor();
    std::uint32_t first = started_pid(core.start_core({address("a11"), kSession}));
    auto first_process = open_process(first);
    std::uint32_t second = started_pid(core.start_core({address("a22"), kSession}));
    EXPECT_NE(first, second);
    EXPECT_EQ(exit_code_within(first_process.get(), 0ms), 1u);
    auto second_process = open_process(second);
    EXPECT_TRUE(running(second_process.get()));
    expect_stop(core.stop_core({kSession}), CoreStopped::stopped);
    EXPECT_EQ(exit_code_within(second_process.get(), 0ms), 1u);
}

void write_file(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), bytes.size());
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST_F(CoreSupervisorTest, VerificationFailureAfterReleaseLeavesNothingHeld) {
    fs::path copy = core_copy();
    auto& core = supervisor(copy);
    auto process = open_process(started_pid(core.start_core({address("a11"), kSession})));
    // The running image may be renamed but not rewritten: move it aside, put a changed file in
    // its place.
    std::string bytes = read_file(copy);
    fs::rename(copy, copy.parent_path() / "running.exe");
    write_file(copy, bytes + "x");

    expect_failure(core.start_core({address("a22"), kOtherSession}),
                   CoreFailureKind::verification_failed, "Core executable SHA256 mismatch");
    EXPECT_EQ(exit_code_within(process.get(), 0ms), 1u);
    EXPECT_FALSE(core.held_session_for_testing());
    expect_stop(core.stop_core({kSession}), CoreStopped::not_running);
    // Verification failures are not logged. The released Core may have written its own start
    // line before it was ended: that line is the Core's, not the Helper's.
    for (const std::string& line : new_log()) {
        EXPECT_NE(line.rfind("Helper", 0), 0u) << line;
    }
}

TEST_F(CoreSupervisorTest, OnlyTheExactCoreFileIsLaunched) {
    const std::string original = read_file(sample_core());
    ASSERT_GT(original.size(), 1000u);
    std::string changed = original;
    changed[changed.size() / 2] ^= 0x01;
    struct Case {
        const char* name;
        std::optional<std::string> bytes;  // none: no file at all
        std::string message;
    };
    const std::vector<Case> cases = {
        {"one byte longer", original + '\0', "Core executable SHA256 mismatch"},
        {"one byte changed", changed, "Core executable SHA256 mismatch"},
        {"one byte shorter", original.substr(0, original.size() - 1),
         "Core executable SHA256 mismatch"},
        {"empty", std::string(), "Core executable SHA256 mismatch"},
        {"missing", std::nullopt, Error::os(ERROR_FILE_NOT_FOUND).text()},
    };
    fs::path copy = core_copy();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(copy);
        if (c.bytes) {
            write_file(copy, *c.bytes);
        }
        auto& core = supervisor(copy);
        expect_failure(core.start_core({address("a11"), kSession}),
                       CoreFailureKind::verification_failed, c.message);
        EXPECT_FALSE(core.held_session_for_testing());
    }
    // The same bytes as the original pass.
    write_file(copy, original);
    auto& core = supervisor(copy);
    started_pid(core.start_core({address("a11"), kSession}));
    expect_stop(core.stop_core({kSession}), CoreStopped::stopped);
}

bool under_wine() {
    HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::string bytes_of(DWORD64 value) {
    return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

TEST_F(CoreSupervisorTest, CoreIsCreatedWithTheImageLoadPolicyBesideTheHandleList) {
    auto& core = supervisor();
    const std::string address_text = address("a11");
    auto process = open_process(started_pid(core.start_core({address_text, kSession})));
    EXPECT_TRUE(wait_for_line("sample Core " + address_text + " in job: yes"));

    ASSERT_EQ(calls_->created_with.size(), 1u);
    const auto& attributes = calls_->created_with[0];
    ASSERT_EQ(attributes.size(), 2u);
    EXPECT_EQ(attributes[0].id, PROC_THREAD_ATTRIBUTE_HANDLE_LIST);
    EXPECT_EQ(attributes[1].id, static_cast<DWORD_PTR>(0x00020007));
    // Prefer System32 (bit 60), no remote images (bit 52), no low-label images (bit 56), each
    // always on, and nothing else.
    EXPECT_EQ(attributes[1].value, bytes_of(DWORD64{(1ULL << 52) | (1ULL << 56) | (1ULL << 60)}));

    // Windows applies the policy; Wine 8 takes the attribute and applies nothing.
    PROCESS_MITIGATION_IMAGE_LOAD_POLICY applied{};
    win::unique_handle query(
        ::OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, ::GetProcessId(process.get())));
    ASSERT_TRUE(query);
    ASSERT_TRUE(::GetProcessMitigationPolicy(query.get(), ProcessImageLoadPolicy, &applied,
                                             sizeof applied));
    if (under_wine()) {
        EXPECT_EQ(applied.Flags, 0u);
    } else {
        EXPECT_TRUE(applied.NoRemoteImages && applied.NoLowMandatoryLabelImages &&
                    applied.PreferSystem32Images)
            << "image-load policy flags " << applied.Flags;
    }
    for (const std::string& line : new_log()) {
        EXPECT_EQ(line.find("image-load policy"), std::string::npos) << line;
    }
    expect_stop(core.stop_core({kSession}), CoreStopped::stopped);
}

TEST_F(CoreSupervisorTest, ImageLoadPolicyFallsBackOnlyWhereTheSystemDoesNotSupportIt) {
    const std::string prefix =
        "Helper starts the Core without its image-load policy, which the system refused: ";
    const std::string added = "add the Core's image-load policy: ";
    const std::string created = "create the Core with its image-load policy: ";
    auto os = [](DWORD code) { return Error::os(code).text(); };
    struct Case {
        const char* name;
        DWORD add_error;      // the policy's attribute fails with this
        DWORD create_error;   // a creation that carries the policy fails with this
        bool applied_before;  // a Core was created with the policy earlier in this process
        std::string line;     // the fallback's one log line; empty: the launch fails with the error
    };
    const std::vector<Case> cases = {
        {"attribute not supported", ERROR_NOT_SUPPORTED, 0, false,
         prefix + added + os(ERROR_NOT_SUPPORTED)},
        {"attribute an invalid parameter", ERROR_INVALID_PARAMETER, 0, false,
         prefix + added + os(ERROR_INVALID_PARAMETER)},
        {"creation not supported", 0, ERROR_NOT_SUPPORTED, false,
         prefix + created + os(ERROR_NOT_SUPPORTED)},
        {"creation an invalid parameter", 0, ERROR_INVALID_PARAMETER, false,
         prefix + created + os(ERROR_INVALID_PARAMETER)},
        {"attribute out of memory", ERROR_NOT_ENOUGH_MEMORY, 0, false, ""},
        {"creation out of memory", 0, ERROR_NOT_ENOUGH_MEMORY, false, ""},
        {"creation over the commit limit", 0, ERROR_COMMITMENT_LIMIT, false, ""},
        {"creation denied", 0, ERROR_ACCESS_DENIED, false, ""},
        {"invalid parameter once the policy was applied", 0, ERROR_INVALID_PARAMETER, true, ""},
        {"not supported once the policy was applied", ERROR_NOT_SUPPORTED, 0, true, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        log_ = std::make_shared<HelperLogList>(kHelperLogCapacity);
        calls_ = std::make_shared<TestCalls>();
        auto& core = supervisor();
        if (c.applied_before) {
            auto process = open_process(started_pid(core.start_core({address("a11"), kSession})));
            expect_stop(core.stop_core({kSession}), CoreStopped::stopped);
        }
        calls_->policy_add_error = c.add_error;
        calls_->policy_create_error = c.create_error;
        if (c.line.empty()) {
            const std::size_t creations = calls_->created_with.size();
            StartOutcome outcome = core.start_core({address("a11"), kSession});
            const auto* failure = std::get_if<CoreFailure>(&outcome);
            ASSERT_NE(failure, nullptr);
            EXPECT_EQ(failure->kind, CoreFailureKind::launch_failed);
            const DWORD code = c.add_error != 0 ? c.add_error : c.create_error;
            // The creation's own error, as a creation without the policy would give it.
            EXPECT_EQ(failure->error.text(), (c.add_error != 0 ? added : "") + os(code));
            EXPECT_FALSE(core.held_session_for_testing());
            // No second creation without the policy was tried.
            EXPECT_EQ(calls_->created_with.size(), creations + (c.add_error != 0 ? 0 : 1));
            for (const std::string& line : new_log()) {
                EXPECT_EQ(line.find("without its image-load policy"), std::string::npos) << line;
            }
            continue;
        }
        for (const std::string mode : {"a11", "a22"}) {
            const std::string address_text = address(mode);
            auto process = open_process(started_pid(core.start_core({address_text, kSession})));
            EXPECT_TRUE(wait_for_line("sample Core " + address_text + " in job: yes"));
            EXPECT_TRUE(running(process.get()));
            EXPECT_EQ(core.held_session_for_testing(), kSession);
            // The process that runs was created with the handle list alone.
            ASSERT_FALSE(calls_->created_with.empty());
            ASSERT_EQ(calls_->created_with.back().size(), 1u);
            EXPECT_EQ(calls_->created_with.back()[0].id, PROC_THREAD_ATTRIBUTE_HANDLE_LIST);
        }
        std::size_t said = 0;
        for (const std::string& line : new_log()) {
            if (line.find("image-load policy") != std::string::npos) {
                EXPECT_EQ(line, c.line);
                ++said;
            }
        }
        EXPECT_EQ(said, 1u);
        expect_stop(core.stop_core({kSession}), CoreStopped::stopped);
    }
}

TEST_F(CoreSupervisorTest, LaunchFailureCarriesTheSystemCode) {
    // An empty file verified against the digest of zero bytes, which the system cannot run.
    fs::path copy = core_copy();
    write_file(copy, "");
    CoreSupervisorOptions options;
    options.core_path = copy;
    options.expected_digest = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
    options.log = log_;
    CoreSupervisor core(std::move(options));
    StartOutcome outcome = core.start_core({address("a11"), kSession});
    const auto* failure = std::get_if<CoreFailure>(&outcome);
    ASSERT_NE(failure, nullptr);
    EXPECT_EQ(failure->kind, CoreFailureKind::launch_failed);
    ASSERT_TRUE(failure->error.os_code()) << failure->error.text();
    const std::uint32_t os_error = *failure->error.os_code();
    EXPECT_NE(os_error, 0u);
    std::string text = Error::os(os_error).text();
    EXPECT_EQ(failure->error.text(), text);
    EXPECT_EQ(new_log(), std::vector<std::string>{text});
    EXPECT_FALSE(core.held_session_for_testing());
}

TEST_F(CoreSupervisorTest, ExitOfItsOwnIsLoggedAndEmptiesTheSlot) {
    struct Case {
        std::string mode;
        std::string status;
    };
    for (const Case& c : {Case{"e003", "exit code: 3"}, Case{"8000", "exit code: 0xc0000005"}}) {
        SCOPED_TRACE(c.mode);
        auto& core = supervisor();
        started_pid(core.start_core({address(c.mode), kSession}));
        EXPECT_TRUE(wait_for_line("Core exited on its own: " + c.status));
        EXPECT_FALSE(core.held_session_for_testing());
        expect_stop(core.stop_core({kSession}), CoreStopped::not_running);
    }
    EXPECT_TRUE(logged("sample Core exits with 3"));
}

TEST_F(CoreSupervisorTest, OutputIsCutIntoLines) {
    auto& core = supervisor();
    started_pid(core.start_core({address("c0de"), kSession}));
    ASSERT_TRUE(wait_for_line("Core exited on its own: exit code: 0"));
    std::vector<std::string> expected = {"a", "b", std::string(10000, 'x'), "tail",
                                         "Core exited on its own: exit code: 0"};
    EXPECT_EQ(new_log(), expected);
}

TEST_F(CoreSupervisorTest, LineWithoutEndIsCutAndTheHelperDoesNotHoldIt) {
    auto& core = supervisor();
    const std::size_t peak_before = peak_working_set();
    started_pid(core.start_core({address("f10d"), kSession}));
    ASSERT_TRUE(wait_for_line("Core exited on its own: exit code: 0", 30s));
    std::vector<std::string> expected = {
        std::string(kCoreLineLimit, 'x') + std::string(kCutLineMark), "after the flood",
        "Core exited on its own: exit code: 0"};
    EXPECT_EQ(new_log(), expected);
    // The Core wrote 32 MiB in one line; holding it would have raised the peak by all of that.
    EXPECT_LT(peak_working_set() - peak_before, std::size_t{8} << 20);
}

TEST_F(CoreSupervisorTest, HandleCountReturnsAfterManyCycles) {
    auto& core = supervisor();
    // Every fourth Core exits by itself; the others are stopped.
    auto cycle = [&](int i) {
        calls_->terminated.clear();  // the test's own duplicates
        if (i % 4 == 3) {
            started_pid(core.start_core({address("e003"), kSession}));
            EXPECT_TRUE(wait_for([&] { return !core.held_session_for_testing(); }));
        } else {
            started_pid(core.start_core({address("51ee"), kSession}));
            expect_stop(core.stop_core({kSession}), CoreStopped::stopped);
        }
    };
    auto settled_count = [&] {
        // Watchers end on their own just after their Core; give the last ones that time.
        std::this_thread::sleep_for(300ms);
        return own_handle_count();
    };
    for (int i = 0; i < 8; ++i) {
        cycle(i);
    }
    const std::size_t after_first = settled_count();
    ASSERT_GT(after_first, 0u);
    for (int i = 0; i < 200 && !HasFailure(); ++i) {
        cycle(i);
    }
    // A handle lost per cycle would show as some hundreds more. The last watchers may still be
    // ending on a loaded machine: the count is read until it settles.
    std::size_t after_all = 0;
    EXPECT_TRUE(wait_for([&] { return (after_all = own_handle_count()) <= after_first + 3; }, 20s))
        << "after the first cycles: " << after_first << ", after all: " << after_all;
}

TEST_F(CoreSupervisorTest, InvalidUtf8EndsTheCopy) {
    auto& core = supervisor();
    auto process = open_process(started_pid(core.start_core({address("bad8"), kSession})));
    ASSERT_TRUE(wait_for_line("before"));
    // Past the watcher's 1.5 s of exit polling: the Core still runs and stays held.
    std::this_thread::sleep_for(2s);
    EXPECT_EQ(new_log(), std::vector<std::string>{"before"});
    EXPECT_EQ(core.held_session_for_testing(), kSession);
    EXPECT_TRUE(running(process.get()));
    expect_stop(core.stop_core({kSession}), CoreStopped::stopped);
}

TEST_F(CoreSupervisorTest, CoreThatClosesItsStandardErrorStaysHeld) {
    auto& core = supervisor();
    auto process = open_process(started_pid(core.start_core({address("c105"), kSession})));
    std::this_thread::sleep_for(2s);
    EXPECT_EQ(core.held_session_for_testing(), kSession);
    EXPECT_TRUE(running(process.get()));
    expect_stop(core.stop_core({kSession}), CoreStopped::stopped);
    EXPECT_EQ(exit_code_within(process.get(), 0ms), 1u);
    EXPECT_TRUE(new_log().empty());
}

TEST_F(CoreSupervisorTest, ReleaseEndsWhatTheCoreStartedThroughTheJob) {
    auto& core = supervisor();
    started_pid(core.start_core({address("c41d"), kSession}));
    std::uint32_t child = 0;
    ASSERT_TRUE(wait_for([&] {
        for (const std::string& line : new_log()) {
            if (std::sscanf(line.c_str(), "child pid %u", &child) == 1) {
                return true;
            }
        }
        return false;
    }));
    auto child_process = open_process(child);
    EXPECT_TRUE(running(child_process.get()));
    expect_stop(core.stop_core({kSession}), CoreStopped::stopped);
    EXPECT_TRUE(exit_code_within(child_process.get(), 20s).has_value());
}

TEST_F(CoreSupervisorTest, CoreFileIsHeldFromVerificationToReply) {
    fs::path copy = core_copy();
    bool checked = false;
    CoreSupervisor* self = nullptr;
    auto& core = supervisor(copy, [&](const fs::path& path) {
        EXPECT_EQ(path, copy);
        win::unique_file writer(::CreateFileW(
            path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
            nullptr, OPEN_EXISTING, 0, nullptr));
        EXPECT_FALSE(writer);
        EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
        EXPECT_FALSE(::DeleteFileW(path.c_str()));
        fs::path elsewhere = path.parent_path() / "moved.exe";
        EXPECT_FALSE(::MoveFileW(path.c_str(), elsewhere.c_str()));
        // Reading with read sharing still works, and so does a ping meanwhile.
        win::unique_file reader(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                              OPEN_EXISTING, 0, nullptr));
        EXPECT_TRUE(reader);
        PingOutcome ping = self->ping_helper(std::string(kSampleCoreDigest));
        EXPECT_TRUE(std::holds_alternative<HelperPath>(ping));
        checked = true;
    });
    self = &core;
    started_pid(core.start_core({address("a11"), kSession}));
    EXPECT_TRUE(checked);
    expect_stop(core.stop_core({kSession}), CoreStopped::stopped);
}

TEST_F(CoreSupervisorTest, StartHoldsTheLockWhileMalformedRequestsAndPingsGoAhead) {
    std::promise<void> reached;
    std::promise<void> go_on;
    auto go_on_future = go_on.get_future().share();
    auto& core = supervisor(std::nullopt, [&](const fs::path&) {
        reached.set_value();
        go_on_future.wait();
    });
    auto start = std::async(std::launch::async, [&] {
        return core.start_core({address("a11"), kSession});
    });
    reached.get_future().wait();

    expect_failure(core.stop_core({"not a session"}), CoreFailureKind::invalid_session,
                   "invalid Core session ID");
    EXPECT_TRUE(
        std::holds_alternative<HelperPath>(core.ping_helper(std::string(kSampleCoreDigest))));
    auto stop = std::async(std::launch::async, [&] { return core.stop_core({kSession}); });
    EXPECT_EQ(stop.wait_for(200ms), std::future_status::timeout);  // waits for the start
    go_on.set_value();
    auto process = open_process(started_pid(start.get()));
    expect_stop(stop.get(), CoreStopped::stopped);  // and then sees the new Core
    EXPECT_EQ(exit_code_within(process.get(), 0ms), 1u);
}

TEST_F(CoreSupervisorTest, ShutdownEndsTheHeldCore) {
    auto& core = supervisor();
    core.stop_core_on_shutdown();
    EXPECT_TRUE(new_log().empty());  // nothing held: nothing to say

    auto process = open_process(started_pid(core.start_core({address("51ee"), kSession})));
    core.stop_core_on_shutdown();
    EXPECT_EQ(exit_code_within(process.get(), 0ms), 1u);
    EXPECT_FALSE(core.held_session_for_testing());
    EXPECT_TRUE(new_log().empty());
}

TEST_F(CoreSupervisorTest, CoreThatOutlivesTerminationStaysHeld) {
    auto& core = supervisor();
    auto process = open_process(started_pid(core.start_core({address("51ee"), kSession})));
    calls_->ignore_terminate = true;
    const std::string stuck = "Core did not exit after termination";

    auto began = std::chrono::steady_clock::now();
    expect_failure(core.stop_core({kSession}), CoreFailureKind::stop_failed, stuck);
    auto took = std::chrono::steady_clock::now() - began;
    // It waits its 1.5 s for the exit, then gives up; how much longer a loaded machine takes
    // is not the point.
    EXPECT_GE(took, 1500ms);
    EXPECT_LT(took, 20s);
    EXPECT_TRUE(logged("Helper could not stop the managed Core: " + stuck));

    expect_failure(core.start_core({address("a11"), kOtherSession}), CoreFailureKind::stop_failed,
                   stuck);
    EXPECT_TRUE(logged("Helper could not release the managed Core: " + stuck));

    core.stop_core_on_shutdown();
    EXPECT_TRUE(logged("Helper could not stop the managed Core on shutdown: " + stuck));
    EXPECT_EQ(core.held_session_for_testing(), kSession);
    EXPECT_TRUE(running(process.get()));

    calls_->poll_error = ERROR_ACCESS_DENIED;
    calls_->ignore_terminate = false;
    const std::string denied = Error::os(ERROR_ACCESS_DENIED).text();
    expect_failure(core.stop_core({kSession}), CoreFailureKind::stop_failed, denied);
    EXPECT_TRUE(logged("Helper could not stop the managed Core: " + denied));
    EXPECT_EQ(core.held_session_for_testing(), kSession);

    // A second stop tries again.
    calls_->poll_error = 0;
    expect_stop(core.stop_core({kSession}), CoreStopped::stopped);
    EXPECT_EQ(exit_code_within(process.get(), 0ms), 1u);
}

TEST_F(CoreSupervisorTest, ConfinementFailureEndsTheUnconfinedCore) {
    struct Case {
        const char* name;
        std::atomic<DWORD> TestCalls::*seam;
        DWORD code;
    };
    for (const Case& c : {Case{"create job", &TestCalls::create_job_error, ERROR_NOT_ENOUGH_MEMORY},
                          Case{"set limits", &TestCalls::set_limits_error, ERROR_INVALID_PARAMETER},
                          Case{"assign", &TestCalls::assign_error, ERROR_ACCESS_DENIED}}) {
        SCOPED_TRACE(c.name);
        calls_ = std::make_shared<TestCalls>();
        ((*calls_).*(c.seam)) = c.code;
        calls_->create_job_delay_ms = 200;
        auto& core = supervisor();
        const std::string text = Error::os(c.code).text();
        expect_failure(core.start_core({address("a11"), kSession}),
                       CoreFailureKind::confinement_failed, text);
        EXPECT_TRUE(logged("Helper could not confine the Core: " + text));
        EXPECT_FALSE(core.held_session_for_testing());
        ASSERT_EQ(calls_->terminated.size(), 1u);
        EXPECT_EQ(exit_code_within(calls_->terminated[0].get(), 20s), 1u);
    }
    // It never ran: it wrote nothing.
    for (const std::string& line : new_log()) {
        EXPECT_EQ(line.find("sample Core"), std::string::npos) << line;
    }
}

TEST_F(CoreSupervisorTest, FailureAtAnyLaunchStepEndsTheSuspendedCore) {
    const std::string bad_alloc = std::bad_alloc().what();
    const std::string no_thread =
        std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again)).what();
    const std::string denied = Error::os(ERROR_ACCESS_DENIED).text();
    struct Case {
        const char* name;
        LaunchStep throw_at;
        DWORD resume_error;
        CoreFailureKind kind;
        std::string message;
    };
    using Kind = CoreFailureKind;
    const std::vector<Case> cases = {
        {"create job throws", LaunchStep::create_job, 0, Kind::internal, bad_alloc},
        {"set limits throws", LaunchStep::set_limits, 0, Kind::internal, bad_alloc},
        {"assign throws", LaunchStep::assign, 0, Kind::internal, bad_alloc},
        {"no watcher thread", LaunchStep::start_thread, 0, Kind::internal, no_thread},
        {"resume throws", LaunchStep::resume, 0, Kind::internal, bad_alloc},
        {"resume fails", LaunchStep::none, ERROR_ACCESS_DENIED, Kind::launch_failed, denied},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        calls_ = std::make_shared<TestCalls>();
        calls_->throw_at = c.throw_at;
        calls_->resume_error = c.resume_error;
        auto& core = supervisor();
        expect_failure(core.start_core({address("a11"), kSession}), c.kind, c.message);
        EXPECT_FALSE(core.held_session_for_testing());
        ASSERT_EQ(calls_->terminated.size(), 1u);
        EXPECT_EQ(exit_code_within(calls_->terminated[0].get(), 20s), 1u);
        // The supervisor goes on: the next start launches and records a Core.
        calls_->throw_at = LaunchStep::none;
        calls_->resume_error = 0;
        started_pid(core.start_core({address("51ee"), kOtherSession}));
        expect_stop(core.stop_core({kOtherSession}), CoreStopped::stopped);
    }
    // None of them ran: none wrote a line.
    for (const std::string& line : new_log()) {
        EXPECT_EQ(line.find("sample Core"), std::string::npos) << line;
    }
}

TEST_F(CoreSupervisorTest, OnlyTheCoresOwnHandlesAreInherited) {
    // An inheritable event of the Helper's that the Core must not receive.
    win::unique_handle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(event);
    ASSERT_TRUE(::SetHandleInformation(event.get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT));
    char value[17];
    std::snprintf(value, sizeof value, "%016llx",
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(event.get())));
    auto& core = supervisor();
    started_pid(core.start_core({address("4a4d000000000000" + std::string(value)), kSession}));
    ASSERT_TRUE(wait_for([&] { return logged("handle set: yes") || logged("handle set: no"); }));
    EXPECT_TRUE(logged("handle set: no"));
    EXPECT_EQ(::WaitForSingleObject(event.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    expect_stop(core.stop_core({kSession}), CoreStopped::stopped);
}

TEST_F(CoreSupervisorTest, PingComparesTheDigestExactly) {
    // The supervisor's hashing agrees with CMake's.
    const std::string digest(kSampleCoreDigest);
    EXPECT_EQ(file_digest(sample_core()), digest);
    std::string upper = digest;
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    ASSERT_NE(upper, digest);
    auto& core = supervisor();
    for (const std::string& wrong : {upper, digest.substr(1), digest + "0", std::string()}) {
        EXPECT_TRUE(std::holds_alternative<CoreDigestMismatch>(core.ping_helper(wrong)));
    }
    EXPECT_EQ(new_log(),
              std::vector<std::string>(4, "Helper ping rejected a Core SHA256 mismatch"));

    PingOutcome outcome = core.ping_helper(digest);
    ASSERT_TRUE(std::holds_alternative<HelperPath>(outcome));
    EXPECT_EQ(std::get<HelperPath>(outcome).utf8,
              to_utf8(win::own_executable_path().value().native()));
}

TEST_F(CoreSupervisorTest, PingWithoutACoreFileNamesTheSystemError) {
    auto& core = supervisor(test_directory() / "no-such-directory" / "DrovaneCore.exe");
    // The text of the failure, with its system code.
    auto failure_text = [](const PingOutcome& outcome) {
        const Error* error = std::get_if<Error>(&outcome);
        EXPECT_NE(error, nullptr);
        EXPECT_TRUE(error != nullptr && error->os_code());
        return error != nullptr ? error->text() : std::string();
    };
    const std::string text = Error::os(ERROR_PATH_NOT_FOUND).text();
    EXPECT_EQ(failure_text(core.ping_helper(std::string(kSampleCoreDigest))), text);
    EXPECT_EQ(new_log(), std::vector<std::string>{"Helper ping failed: " + text});

    fs::path copy = core_copy();
    fs::remove(copy);
    EXPECT_EQ(failure_text(supervisor(copy).ping_helper(std::string(kSampleCoreDigest))),
              Error::os(ERROR_FILE_NOT_FOUND).text());
}

TEST_F(CoreSupervisorTest, ProductDefaultsUseTheCoreBesideTheHelper) {
    auto located = locate_core_executable();
    ASSERT_TRUE(located.ok());
    EXPECT_EQ(*located, sample_core());
    if (!expected_core_digest_is_sample()) {
        GTEST_SKIP() << "this build embeds another Core's digest";
    }
    EXPECT_EQ(expected_core_digest(), kSampleCoreDigest);
    CoreSupervisor core;
    EXPECT_TRUE(
        std::holds_alternative<HelperPath>(core.ping_helper(std::string(expected_core_digest()))));
    auto process = open_process(started_pid(core.start_core({address("51ee"), kSession})));
    expect_stop(core.stop_core({kSession}), CoreStopped::stopped);
    EXPECT_EQ(exit_code_within(process.get(), 0ms), 1u);
}

}  // namespace
}  // namespace drovane::hub
