// The installed Helper after a burst of use: once the requests are answered and the Core is
// stopped, the service process comes back to the thread count it had right after start. Threads
// made for the burst (blocking-pool threads, the Core's output watcher, anything the I/O runtime
// starts at its first connection) must end, or every session of use would leave the machine
// paying for them until the next boot.
#include <gtest/gtest.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>
// After windows.h.
#include <tlhelp32.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "command_line.hpp"
#include "core_digest.hpp"
#include "win/handles.hpp"

namespace drovane::win {
namespace {

using namespace std::chrono_literals;

std::wstring helper_path() {
    wchar_t path[MAX_PATH];
    DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring text(path, length);
    return text.substr(0, text.find_last_of(L'\\')) + L"\\DrovaneHelper.exe";
}

// Runs the Helper with `arguments` and returns its exit code.
DWORD run_helper(const std::wstring& arguments) {
    const std::wstring executable = helper_path();
    std::wstring line = escape_command_line_part(executable) + L" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(executable.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                          nullptr, &startup, &info)) {
        return ::GetLastError();
    }
    unique_handle process(info.hProcess);
    unique_handle thread(info.hThread);
    DWORD code = 0xFFFFFFFF;
    if (::WaitForSingleObject(process.get(), 120000) == WAIT_OBJECT_0) {
        ::GetExitCodeProcess(process.get(), &code);
    }
    return code;
}

std::optional<DWORD> service_process() {
    unique_service manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    unique_service service(
        ::OpenServiceW(manager.get(), L"DrovaneHelperService", SERVICE_QUERY_STATUS));
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!service ||
        !::QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                                reinterpret_cast<BYTE*>(&status), sizeof status, &needed) ||
        status.dwCurrentState != SERVICE_RUNNING) {
        return std::nullopt;
    }
    return status.dwProcessId;
}

std::optional<DWORD> published_port() {
    DWORD port = 0;
    DWORD size = sizeof port;
    if (::RegGetValueW(HKEY_LOCAL_MACHINE,
                       L"SYSTEM\\CurrentControlSet\\Services\\DrovaneHelperService\\Runtime",
                       L"Port", RRF_RT_REG_DWORD, nullptr, &port, &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    return port;
}

int thread_count(DWORD pid) {
    unique_handle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    int count = 0;
    for (BOOL more = ::Thread32First(snapshot.get(), &entry); more;
         more = ::Thread32Next(snapshot.get(), &entry)) {
        count += entry.th32OwnerProcessID == pid;
    }
    return count;
}

// Sends `requests` one after another on one connection (keep-alive, the last one closing it)
// and returns how many replies came back with status 200. Each request is written right after
// the connect, so the TCP table names this process as the owner of its end.
int send_requests(DWORD port, const std::vector<std::string>& requests) {
    unique_socket socket(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        return 0;
    }
    std::string all;
    for (std::size_t i = 0; i < requests.size(); ++i) {
        all += requests[i];
    }
    ::send(socket.get(), all.data(), static_cast<int>(all.size()), 0);
    std::string bytes;
    char buffer[4096];
    int got = 0;
    while ((got = ::recv(socket.get(), buffer, sizeof buffer, 0)) > 0) {
        bytes.append(buffer, static_cast<std::size_t>(got));
    }
    int good = 0;
    for (std::size_t at = bytes.find("HTTP/1.1 200 "); at != std::string::npos;
         at = bytes.find("HTTP/1.1 200 ", at + 1)) {
        ++good;
    }
    return good;
}

std::string request(const std::string& method, const std::string& target, bool close,
                    const std::string& json = {}) {
    std::string text = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    text += close ? "Connection: close\r\n" : "";
    if (!json.empty()) {
        text += "Content-Type: application/json\r\nContent-Length: " + std::to_string(json.size()) +
                "\r\n";
    }
    return text + "\r\n" + json;
}

class HelperAfterUse : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        WSADATA data;
        ASSERT_EQ(::WSAStartup(MAKEWORD(2, 2), &data), 0);
    }
    static void TearDownTestSuite() { ::WSACleanup(); }
    void TearDown() override { EXPECT_EQ(run_helper(L"uninstall"), 0u); }
};

TEST_F(HelperAfterUse, ThreadCountComesBackToItsCountAfterStart) {
    if (!expected_core_digest_is_sample()) {
        GTEST_SKIP() << "this Helper is built for another Core than the sample in bin/";
    }
    ASSERT_EQ(run_helper(L"install --owner-pid " + std::to_wstring(::GetCurrentProcessId())), 0u);
    std::optional<DWORD> pid = service_process();
    std::optional<DWORD> port = published_port();
    ASSERT_TRUE(pid && port);
    const int after_start = thread_count(*pid);
    ASSERT_GT(after_start, 0);

    // The burst: a Core started and stopped (its output watcher ends with it), then clients at
    // once, each with pings (one blocking-pool task each) and logs on one connection.
    const std::string ping =
        request("GET", "/ping?coreSha256=" + std::string(expected_core_digest()), false);
    const std::string session(32, 'a');
    const std::string start = R"({"address":"\\\\.\\pipe\\DrovaneCore_)" + std::string(32, '7') +
                              R"(","sessionId":")" + session + R"("})";
    EXPECT_EQ(send_requests(*port, {request("POST", "/start", true, start)}), 1);
    EXPECT_EQ(send_requests(
                  *port, {request("POST", "/stop", true, R"({"sessionId":")" + session + R"("})")}),
              1);
    constexpr int kClients = 4, kRounds = 10;
    std::vector<std::string> requests;
    for (int i = 0; i < kRounds; ++i) {
        requests.push_back(ping);
        requests.push_back(request("GET", "/logs", i + 1 == kRounds));
    }
    std::vector<int> answered(kClients);
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] { answered[c] = send_requests(*port, requests); });
    }
    for (std::thread& client : clients) {
        client.join();
    }
    for (int c = 0; c < kClients; ++c) {
        EXPECT_EQ(answered[c], 2 * kRounds) << "client " << c;
    }

    // Idle threads end after a while without work: wait for the count, within a bound far
    // above any idle timeout.
    int after_use = thread_count(*pid);
    for (auto deadline = std::chrono::steady_clock::now() + 90s;
         after_use > after_start && std::chrono::steady_clock::now() < deadline;) {
        std::this_thread::sleep_for(250ms);
        after_use = thread_count(*pid);
    }
    EXPECT_EQ(after_use, after_start);
}

}  // namespace
}  // namespace drovane::win
