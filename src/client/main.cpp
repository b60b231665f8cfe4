// DrovaneHelperClient.exe: a diagnostic client for developers and support engineers, run as the
// Helper's owner. It finds the Helper's port in the registry and speaks plain HTTP/1.1 to it.
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <iostream>
#include <random>
#include <thread>

#include "client/client_commands.hpp"
#include "service/hub/core_digest.hpp"
#include "service/windows/handles.hpp"
#include "text.hpp"

namespace drovane::client {
namespace {

constexpr wchar_t kRuntimeKey[] =
    L"SYSTEM\\CurrentControlSet\\Services\\DrovaneHelperService\\Runtime";

Result<unsigned> read_helper_port() {
    DWORD port = 0;
    DWORD size = sizeof(port);
    LSTATUS status = RegGetValueW(HKEY_LOCAL_MACHINE, kRuntimeKey, L"Port", RRF_RT_REG_DWORD,
                                  nullptr, &port, &size);
    if (status != ERROR_SUCCESS) {
        return Error::os(static_cast<std::uint32_t>(status))
            .context(
                "the Helper is not installed or not running: no Port value under "
                "HKEY_LOCAL_MACHINE\\" +
                to_utf8(kRuntimeKey));
    }
    if (port == 0 || port > 65535) {
        return Error("the Helper published no valid port: " + std::to_string(port));
    }
    return static_cast<unsigned>(port);
}

class WinsockTransport final : public Transport {
  public:
    Result<HttpReply> exchange(std::string_view method, std::string_view target,
                               std::string_view json_body) override {
        Result<unsigned> port = read_helper_port();
        if (!port) {
            return std::move(port).error();
        }
        win::unique_socket socket(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        if (!socket) {
            return Error::os(WSAGetLastError()).context("create a socket");
        }
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<u_short>(*port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) !=
            0) {
            return Error::os(WSAGetLastError())
                .context("connect to the Helper at 127.0.0.1:" + std::to_string(*port));
        }
        // The request goes out right after connecting: the Helper identifies the client's
        // process by its socket, which the system ties to the process at its first send.
        std::string request = format_request(method, target, *port, json_body);
        for (std::size_t sent = 0; sent < request.size();) {
            int n = send(socket.get(), request.data() + sent,
                         static_cast<int>(request.size() - sent), 0);
            if (n == SOCKET_ERROR) {
                return Error::os(WSAGetLastError()).context("send the request to the Helper");
            }
            sent += static_cast<std::size_t>(n);
        }
        std::string bytes;
        char buffer[8192];
        while (true) {
            int n = recv(socket.get(), buffer, sizeof(buffer), 0);
            if (n == 0) {
                break;
            }
            if (n == SOCKET_ERROR) {
                int code = WSAGetLastError();
                if (code == WSAECONNRESET && !bytes.empty()) {
                    break;
                }
                return Error::os(code).context("read the Helper's reply");
            }
            bytes.append(buffer, static_cast<std::size_t>(n));
        }
        if (bytes.empty()) {
            return Error(
                "the Helper closed the connection without a reply (is this process running "
                "under the Helper's owner account?)");
        }
        return parse_reply(bytes);
    }
};

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
    std::wstring path(MAX_PATH, L'\0');
    while (true) {
        DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) {
            std::cerr << "error: " << Error::os(GetLastError()).text() << '\n';
            return 1;
        }
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    path = path.substr(0, path.find_last_of(L"\\/") + 1) + L"DrovaneHelper.exe";
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
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        std::cerr << "error: Winsock is not available\n";
        return 1;
    }
    client::WinsockTransport transport;
    client::ClientEnvironment env{
        transport,
        std::cout,
        std::cerr,
        std::string(hub::expected_core_digest()),
        client::random_hex32,
        [](std::chrono::milliseconds delay) { std::this_thread::sleep_for(delay); },
    };
    int status = client::run_client_command(args, env);
    WSACleanup();
    return status;
}
