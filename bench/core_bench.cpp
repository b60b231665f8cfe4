// Times the Core supervisor on one Core file, and the floor of a start on the same file in the
// same run: hashing it as the Helper does, a bare launch (created suspended, put into a
// kill-on-close job, resumed, and nothing else), a first start (hash, launch, confinement), a
// start that also releases the Core held (release, hash, launch, confinement), and a stop.
// The measurements alternate, one of each per repetition, so that the machine's drift touches
// them alike. Usage: core_bench <core file> [repetitions]. Prints "name median-seconds" lines.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "service/hub/api/core_replies.hpp"
#include "service/hub/core/core_supervisor.hpp"
#include "sha256_file.hpp"
#include "text.hpp"
#include "win/handles.hpp"

using namespace drovane;
using namespace drovane::hub;

namespace {

const std::string kSession = "0123456789abcdef0123456789abcdef";
// An address that the sample Core answers by running on, silent.
const std::string kAddress = "\\\\.\\pipe\\DrovaneCore_51ee0000000000000000000000000000";

double seconds_of(const std::function<void()>& work) {
    auto began = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "core_bench: %s\n", what.c_str());
    std::exit(1);
}

std::string hash_file(const std::filesystem::path& path) {
    win::unique_file file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, 0, nullptr));
    if (!file) {
        fail("cannot open " + to_utf8(path.native()));
    }
    auto digest = hash_open_file(file.get());
    if (!digest) {
        fail(digest.error().text());
    }
    return *digest;
}

// The least a confined launch can cost: the process created suspended with the Core's command
// line, a kill-on-close job, the assignment and the resume. Returns the seconds those took; the
// process is ended afterwards, outside the time.
double bare_launch(const std::filesystem::path& core) {
    std::wstring command_line = L"\"" + core.native() + L"\" " + to_utf16(kAddress);
    const std::filesystem::path directory = core.parent_path();
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION created{};
    win::unique_handle job;
    auto began = std::chrono::steady_clock::now();
    if (!::CreateProcessW(core.c_str(), command_line.data(), nullptr, nullptr, FALSE,
                          CREATE_UNICODE_ENVIRONMENT | CREATE_SUSPENDED, nullptr, directory.c_str(),
                          &startup, &created)) {
        fail("bare launch: " + Error::os(::GetLastError()).text());
    }
    win::unique_handle process(created.hProcess);
    win::unique_handle thread(created.hThread);
    job.reset(::CreateJobObjectW(nullptr, nullptr));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!job ||
        !::SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                   sizeof limits) ||
        !::AssignProcessToJobObject(job.get(), process.get()) ||
        ::ResumeThread(thread.get()) == static_cast<DWORD>(-1)) {
        Error error = Error::os(::GetLastError());
        ::TerminateProcess(process.get(), 1);
        fail("bare launch: " + error.text());
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    ::TerminateProcess(process.get(), 1);
    ::WaitForSingleObject(process.get(), INFINITE);
    return seconds;
}

void expect_status(const Reply& reply, const char* what) {
    if (reply.status != 200) {
        fail(std::string(what) + " answered " + std::to_string(reply.status) + ": " + reply.body);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        fail("usage: core_bench <core file> [repetitions]");
    }
    const std::filesystem::path core = to_utf16(argv[1]);
    const int repetitions = argc > 2 ? std::max(1, std::atoi(argv[2])) : 7;

    const std::string digest = hash_file(core);  // also brings the file into the page cache
    CoreSupervisorOptions options;
    options.core_path = core;
    options.expected_digest = digest;
    CoreSupervisor supervisor(std::move(options));

    std::vector<double> hash, bare, start, restart, stop;
    for (int i = 0; i < repetitions; ++i) {
        hash.push_back(seconds_of([&] {
            if (hash_file(core) != digest) {
                fail("the digest changed between runs");
            }
        }));
        bare.push_back(bare_launch(core));
        start.push_back(seconds_of([&] {
            expect_status(start_reply(supervisor.start_core({kAddress, kSession}), kSession),
                          "start");
        }));
        restart.push_back(seconds_of([&] {
            expect_status(start_reply(supervisor.start_core({kAddress, kSession}), kSession),
                          "restart");
        }));
        stop.push_back(seconds_of([&] {
            expect_status(stop_reply(supervisor.stop_core({kSession}), kSession), "stop");
        }));
    }
    std::printf("digest %s\n", digest.c_str());
    std::printf("size_bytes %llu\n",
                static_cast<unsigned long long>(std::filesystem::file_size(core)));
    std::printf("repetitions %d\n", repetitions);
    std::printf("helper_hash_seconds %.6f\n", median(hash));
    std::printf("bare_launch_seconds %.6f\n", median(bare));
    std::printf("start_seconds %.6f\n", median(start));
    std::printf("restart_seconds %.6f\n", median(restart));
    std::printf("stop_seconds %.6f\n", median(stop));
    return 0;
}
