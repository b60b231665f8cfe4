// Times the Core supervisor on one Core file: hashing it, a first start (hash, launch,
// confinement), a start that also releases the Core held (release, hash, launch, confinement),
// and a stop. Usage: core_bench <core file> [repetitions]. Prints "name seconds" lines.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include "service/hub/core_supervisor.hpp"
#include "service/windows/handles.hpp"
#include "text.hpp"

using namespace drovane;
using namespace drovane::hub;

namespace {

double seconds_of(const std::function<void()>& work) {
    auto began = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
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
    const int repetitions = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    const std::string session = "0123456789abcdef0123456789abcdef";
    const std::string address = "\\\\.\\pipe\\DrovaneCore_51ee0000000000000000000000000000";

    std::string digest;
    double hash = 1e9, start = 1e9, restart = 1e9, stop = 1e9;
    for (int i = 0; i < repetitions; ++i) {
        hash = std::min(hash, seconds_of([&] { digest = hash_file(core); }));
    }
    CoreSupervisorOptions options;
    options.core_path = core;
    options.expected_digest = digest;
    CoreSupervisor supervisor(std::move(options));
    for (int i = 0; i < repetitions; ++i) {
        start = std::min(start, seconds_of([&] {
                             expect_status(supervisor.start_core({address, session}), "start");
                         }));
        restart = std::min(restart, seconds_of([&] {
                               expect_status(supervisor.start_core({address, session}), "restart");
                           }));
        stop = std::min(
            stop, seconds_of([&] { expect_status(supervisor.stop_core({session}), "stop"); }));
    }
    std::printf("digest %s\n", digest.c_str());
    std::printf("size_bytes %llu\n",
                static_cast<unsigned long long>(std::filesystem::file_size(core)));
    std::printf("helper_hash_seconds %.6f\n", hash);
    std::printf("start_seconds %.6f\n", start);
    std::printf("restart_seconds %.6f\n", restart);
    std::printf("stop_seconds %.6f\n", stop);
    return 0;
}
