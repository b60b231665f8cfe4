// DrovaneHelperClient.exe: a diagnostic client for developers and support engineers, run as the
// Helper's owner. It reaches the Helper through the client library, which finds its port,
// proves the listener is the service's process and speaks its protocol.
#include <filesystem>
#include <iostream>
#include <random>
#include <thread>

#include "client/client_commands.hpp"
#include "client/windows_installation.hpp"
#include "core_digest.hpp"
#include "helper_client/helper_endpoint.hpp"
#include "names.hpp"
#include "text.hpp"
#include "win/handles.hpp"
#include "win/module_path.hpp"

namespace drovane::client {
namespace {

std::string random_hex32() {
    static std::random_device device;
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (int i = 0; i < 32; ++i) {
        out += kDigits[device() % 16];
    }
    return out;
}

// Runs DrovaneHelper.exe from this program's directory; install names this process as owner.
int run_helper(const std::string& command) {
    Result<std::filesystem::path> own = win::own_executable_path();
    if (!own) {
        std::cerr << "error: " << own.error().text() << '\n';
        return 1;
    }
    std::wstring path = own->native();
    path = path.substr(0, path.find_last_of(L"\\/") + 1) + names::helper_file_wide.data();
    std::wstring command_line = L"\"" + path + L"\" " + to_utf16(command);
    if (command == "install") {
        command_line += L" --owner-pid " + std::to_wstring(GetCurrentProcessId());
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(path.c_str(), command_line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                        nullptr, &startup, &info)) {
        std::cerr << "error: " << Error::os(GetLastError()).context("run " + to_utf8(path)).text()
                  << '\n';
        return 1;
    }
    win::unique_handle process(info.hProcess);
    win::unique_handle thread(info.hThread);
    WaitForSingleObject(process.get(), INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(process.get(), &code);
    std::cout << command << ": " << (code == 0 ? "done" : "failed") << '\n';
    return code == 0 ? 0 : 1;
}

}  // namespace
}  // namespace drovane::client

int wmain(int argc, wchar_t** argv) {
    using namespace drovane;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        args.push_back(to_utf8(argv[i]));
    }
    if (args.size() == 1 && (args[0] == "install" || args[0] == "uninstall")) {
        return client::run_helper(args[0]);
    }
    helper_client::HelperTransport transport;
    if (args.size() == 1 && args[0] == "doctor") {
        client::WindowsInstallation installation;
        return client::run_doctor(installation, transport, expected_core_digest(), std::cout);
    }
    client::ClientEnvironment env{
        transport,
        std::cout,
        std::cerr,
        std::string(expected_core_digest()),
        client::random_hex32,
        [](std::chrono::milliseconds delay) { std::this_thread::sleep_for(delay); },
    };
    return client::run_client_command(args, env);
}
