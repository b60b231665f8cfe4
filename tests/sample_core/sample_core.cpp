// The sample Core: a small stand-in for DrovaneCore.exe that the Helper's tests launch. It takes
// the Core address as its only argument; the first four of the address's 32 hex characters
// choose what it does:
//   c0de  writes "a" CR LF "b" LF, a 10000-byte line, the fragment "tail", then exits with 0
//   f10d  writes 32 MiB without a line feed, then a line feed and "after the flood", exits with 0
//   e003  writes one line and exits with code 3
//   8000  exits with code 0xc0000005
//   c105  closes its standard error and keeps running
//   bad8  writes "before", a line that is not UTF-8, "after", and keeps running
//   c41d  starts a child of itself with a "51ee" address, writes "child pid N", waits for it
//   51ee  keeps running and writes nothing
//   919e  serves its pipe (see below), the mode a test can name
//   4a4d  the last 16 hex characters are a handle value of the test process; signals it as an
//         event if it was inherited, writes "handle set: yes" or "handle set: no", keeps running
// Anything else: writes "sample Core <address> in job: yes|no", then serves its pipe.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

void write_error(const std::string& bytes) {
    HANDLE error = ::GetStdHandle(STD_ERROR_HANDLE);
    DWORD written = 0;
    ::WriteFile(error, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

[[noreturn]] void run_forever() {
    for (;;) {
        ::Sleep(INFINITE);
    }
}

int start_child(const std::string& address) {
    std::string child_address =
        address.substr(0, address.size() - 32) + "51ee" + std::string(28, '0');
    wchar_t own_path[MAX_PATH];
    ::GetModuleFileNameW(nullptr, own_path, MAX_PATH);
    std::wstring command_line = L"\"" + std::wstring(own_path) + L"\" " +
                                std::wstring(child_address.begin(), child_address.end());
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    if (!::CreateProcessW(own_path, command_line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                          nullptr, &startup, &child)) {
        write_error("child start failed\n");
        return 2;
    }
    write_error("child pid " + std::to_string(child.dwProcessId) + "\n");
    ::WaitForSingleObject(child.hProcess, INFINITE);
    return 0;
}

// Creates the pipe at `address` as its first instance a moment after the start, as a Core does
// once resumed, and serves it: accepts, drops and accepts again. Writes nothing, so that the
// Helper's log holds what it held before the Core had a pipe; a name already taken leaves the
// Core running without one.
[[noreturn]] void serve_pipe(const std::string& address) {
    ::Sleep(200);
    std::wstring name(address.begin(), address.end());
    HANDLE pipe =
        ::CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
                           PIPE_TYPE_BYTE, 1, 4096, 4096, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) {
        run_forever();
    }
    for (;;) {
        ::ConnectNamedPipe(pipe, nullptr);
        ::DisconnectNamedPipe(pipe);
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string address = argc > 1 ? argv[1] : "";
    std::string hex = address.size() >= 32 ? address.substr(address.size() - 32) : "";
    std::string mode = hex.substr(0, 4);

    if (mode == "c0de") {
        write_error("a\r\nb\n");
        write_error(std::string(10000, 'x') + "\n");
        write_error("tail");
        return 0;
    }
    if (mode == "f10d") {
        const std::string piece(64 * 1024, 'x');
        for (int i = 0; i < 512; ++i) {
            write_error(piece);
        }
        write_error("\nafter the flood\n");
        return 0;
    }
    if (mode == "e003") {
        write_error("sample Core exits with 3\n");
        return 3;
    }
    if (mode == "8000") {
        ::ExitProcess(0xC0000005u);
    }
    if (mode == "c105") {
        ::CloseHandle(::GetStdHandle(STD_ERROR_HANDLE));
        run_forever();
    }
    if (mode == "bad8") {
        write_error("before\n");
        write_error("\xff\xfe not UTF-8\n");
        write_error("after\n");
        run_forever();
    }
    if (mode == "c41d") {
        return start_child(address);
    }
    if (mode == "51ee") {
        run_forever();
    }
    if (mode == "919e") {
        serve_pipe(address);
    }
    if (mode == "4a4d") {
        auto value =
            static_cast<std::uintptr_t>(std::strtoull(hex.substr(16).c_str(), nullptr, 16));
        bool set = ::SetEvent(reinterpret_cast<HANDLE>(value)) != 0;
        write_error(std::string("handle set: ") + (set ? "yes" : "no") + "\n");
        run_forever();
    }
    BOOL in_job = FALSE;
    ::IsProcessInJob(::GetCurrentProcess(), nullptr, &in_job);
    write_error("sample Core " + address + " in job: " + (in_job ? "yes" : "no") + "\n");
    serve_pipe(address);
}
