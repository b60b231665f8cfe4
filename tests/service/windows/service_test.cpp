// DrovaneHelper.exe end to end under the prefix's real Service Control Manager: the console
// errors, install and its registration, the service's HTTP endpoint with the sample Core, a
// reinstall over the running service, STOP from the SCM, and uninstall.
#include <gtest/gtest.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "command_line.hpp"
#include "core_digest.hpp"
#include "service/windows/install.hpp"
#include "text.hpp"
#include "win/handles.hpp"
#include "win/process_account.hpp"

namespace drovane::win {
namespace {

using namespace std::chrono_literals;

constexpr wchar_t kServiceName[] = L"DrovaneHelperService";
constexpr wchar_t kRuntimeKey[] =
    L"SYSTEM\\CurrentControlSet\\Services\\DrovaneHelperService\\Runtime";

// ---------------------------------------------------------------------------------------------
// Files and processes.

std::wstring own_directory() {
    wchar_t path[MAX_PATH];
    DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring text(path, length);
    return text.substr(0, text.find_last_of(L'\\'));
}

std::wstring helper_in(const std::wstring& directory) {
    return directory + L"\\DrovaneHelper.exe";
}

struct HelperRun {
    DWORD exit_code = 0;
    std::string out;
    std::string err;
};

std::string read_all(HANDLE pipe) {
    std::string bytes;
    char buffer[4096];
    DWORD got = 0;
    while (::ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) {
        bytes.append(buffer, got);
    }
    return bytes;
}

// Runs the Helper with `arguments` after its quoted path, collecting both output streams.
HelperRun run_helper(const std::wstring& executable, const std::wstring& arguments) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    unique_handle out_read, out_write, err_read, err_write;
    EXPECT_TRUE(::CreatePipe(out_read.put(), out_write.put(), &inherit, 0));
    EXPECT_TRUE(::CreatePipe(err_read.put(), err_write.put(), &inherit, 0));
    ::SetHandleInformation(out_read.get(), HANDLE_FLAG_INHERIT, 0);
    ::SetHandleInformation(err_read.get(), HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = out_write.get();
    startup.hStdError = err_write.get();
    std::wstring line = escape_command_line_part(executable);
    if (!arguments.empty()) {
        line += L" " + arguments;
    }
    PROCESS_INFORMATION info{};
    HelperRun run;
    if (!::CreateProcessW(executable.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                          nullptr, &startup, &info)) {
        ADD_FAILURE() << "CreateProcessW failed: " << ::GetLastError();
        run.exit_code = 0xFFFFFFFF;
        return run;
    }
    unique_handle process(info.hProcess);
    unique_handle thread(info.hThread);
    out_write.reset();
    err_write.reset();
    std::thread out_reader([&] { run.out = read_all(out_read.get()); });
    run.err = read_all(err_read.get());
    out_reader.join();
    if (::WaitForSingleObject(process.get(), 120000) != WAIT_OBJECT_0) {
        ::TerminateProcess(process.get(), 99);
        ADD_FAILURE() << "the Helper did not end: " << to_utf8(line);
    }
    ::GetExitCodeProcess(process.get(), &run.exit_code);
    return run;
}

// Whether a process has ended within `timeout` (or no longer exists).
bool process_ended(DWORD pid, std::chrono::milliseconds timeout) {
    unique_handle process(::OpenProcess(SYNCHRONIZE, FALSE, pid));
    if (!process) {
        return true;
    }
    return ::WaitForSingleObject(process.get(), static_cast<DWORD>(timeout.count())) ==
           WAIT_OBJECT_0;
}

// ---------------------------------------------------------------------------------------------
// The SCM and the registry.

std::optional<SERVICE_STATUS_PROCESS> service_status() {
    unique_service manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    unique_service service(::OpenServiceW(manager.get(), kServiceName, SERVICE_QUERY_STATUS));
    if (!service) {
        return std::nullopt;
    }
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!::QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                                reinterpret_cast<BYTE*>(&status), sizeof status, &needed)) {
        return std::nullopt;
    }
    return status;
}

DWORD open_service_error() {
    unique_service manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    unique_service service(::OpenServiceW(manager.get(), kServiceName, SERVICE_QUERY_STATUS));
    return service ? 0 : ::GetLastError();
}

struct Registration {
    DWORD service_type = 0;
    DWORD start_type = 0;
    DWORD error_control = 0;
    std::wstring binary_path;
    std::wstring account;
};

std::optional<Registration> registration() {
    unique_service manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    unique_service service(::OpenServiceW(manager.get(), kServiceName, SERVICE_QUERY_CONFIG));
    if (!service) {
        return std::nullopt;
    }
    DWORD needed = 0;
    ::QueryServiceConfigW(service.get(), nullptr, 0, &needed);
    std::vector<std::uint8_t> buffer(needed + sizeof(QUERY_SERVICE_CONFIGW));
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!::QueryServiceConfigW(service.get(), config, static_cast<DWORD>(buffer.size()), &needed)) {
        return std::nullopt;
    }
    Registration result;
    result.service_type = config->dwServiceType;
    result.start_type = config->dwStartType;
    result.error_control = config->dwErrorControl;
    result.binary_path = config->lpBinaryPathName ? config->lpBinaryPathName : L"";
    result.account = config->lpServiceStartName ? config->lpServiceStartName : L"";
    return result;
}

std::optional<DWORD> published_port() {
    DWORD port = 0;
    DWORD size = sizeof port;
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, kRuntimeKey, L"Port", RRF_RT_REG_DWORD, nullptr, &port,
                       &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    return port;
}

bool runtime_key_exists() {
    unique_key key;
    return ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRuntimeKey, 0, KEY_READ, key.put()) ==
           ERROR_SUCCESS;
}

// The states a service passed through after a STOP, the first being the one the STOP answered,
// polled with a short pause until it reads Stopped or `timeout` passes; and the last status.
struct StopStates {
    std::vector<DWORD> states;
    SERVICE_STATUS_PROCESS last{};
};

StopStates wait_for_stopped(SC_HANDLE service, DWORD answered, std::chrono::seconds timeout) {
    StopStates seen;
    seen.states.push_back(answered);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        DWORD needed = 0;
        if (!::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO,
                                    reinterpret_cast<BYTE*>(&seen.last), sizeof seen.last,
                                    &needed)) {
            ADD_FAILURE() << "QueryServiceStatusEx failed: " << ::GetLastError();
            break;
        }
        if (seen.states.back() != seen.last.dwCurrentState) {
            seen.states.push_back(seen.last.dwCurrentState);
        }
        if (seen.last.dwCurrentState == SERVICE_STOPPED) {
            break;
        }
        std::this_thread::sleep_for(10ms);
    }
    return seen;
}

// ---------------------------------------------------------------------------------------------
// A plain HTTP/1.1 client: the request is written right after connect, so the TCP table names
// this process as the owner of its end; the reply is read until the server closes.

struct HttpReply {
    int status = 0;
    std::string head;
    std::string body;
};

HttpReply http(DWORD port, const std::string& method, const std::string& target,
               const std::string& json_body = {}) {
    HttpReply reply;
    unique_socket socket(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ADD_FAILURE() << "connect failed: " << ::WSAGetLastError();
        return reply;
    }
    std::string request = method + " " + target +
                          " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                          "\r\nConnection: close\r\n";
    if (!json_body.empty()) {
        request += "Content-Type: application/json\r\nContent-Length: " +
                   std::to_string(json_body.size()) + "\r\n";
    }
    request += "\r\n" + json_body;
    ::send(socket.get(), request.data(), static_cast<int>(request.size()), 0);
    std::string bytes;
    char buffer[4096];
    int got = 0;
    while ((got = ::recv(socket.get(), buffer, sizeof buffer, 0)) > 0) {
        bytes.append(buffer, static_cast<std::size_t>(got));
    }
    std::size_t end_of_head = bytes.find("\r\n\r\n");
    if (bytes.rfind("HTTP/1.1 ", 0) != 0 || end_of_head == std::string::npos) {
        ADD_FAILURE() << "no HTTP reply: " << bytes;
        return reply;
    }
    reply.status = std::stoi(bytes.substr(9, 3));
    reply.head = bytes.substr(0, end_of_head);
    reply.body = bytes.substr(end_of_head + 4);
    return reply;
}

std::string hex32(char first) {
    return std::string(1, first) + std::string(31, '0');
}

std::string start_body(const std::string& session) {
    return R"({"address":"\\\\.\\pipe\\DrovaneCore_)" + hex32('7') + R"(","sessionId":")" +
           session + R"("})";
}

DWORD pid_of(const std::string& start_reply) {
    std::size_t at = start_reply.find("\"pid\":");
    return at == std::string::npos ? 0 : std::stoul(start_reply.substr(at + 6));
}

// Starts the sample Core under `session`; its process ID.
DWORD start_core(DWORD port, const std::string& session) {
    HttpReply started = http(port, "POST", "/start", start_body(session));
    EXPECT_EQ(started.status, 200) << started.body;
    DWORD pid = pid_of(started.body);
    EXPECT_NE(pid, 0u) << started.body;
    return pid;
}

std::string own_sid() {
    Result<std::string> sid = peer::process_account_sid(::GetCurrentProcessId());
    EXPECT_TRUE(sid.ok());
    return sid.ok() ? *sid : std::string();
}

std::wstring install_arguments() {
    return L"install --owner-pid " + std::to_wstring(::GetCurrentProcessId());
}

void expect_silent_success(const HelperRun& run, const char* what) {
    EXPECT_EQ(run.exit_code, 0u) << what << ": " << run.err;
    EXPECT_EQ(run.out, "") << what;
    EXPECT_EQ(run.err, "") << what;
}

class ServiceTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        WSADATA data;
        ASSERT_EQ(::WSAStartup(MAKEWORD(2, 2), &data), 0);
    }
    static void TearDownTestSuite() { ::WSACleanup(); }

    // A failed case must not leave the service behind: a running service keeps Wine alive.
    void TearDown() override {
        HelperRun run = run_helper(helper_in(own_directory()), L"uninstall");
        EXPECT_EQ(run.exit_code, 0u) << run.err;
    }
};

TEST_F(ServiceTest, ConsoleErrorsAreReportedOnStandardError) {
    const std::wstring helper = helper_in(own_directory());
    struct Case {
        std::wstring arguments;
        std::string report;
    };
    const Case cases[] = {
        {L"", "Error: the helper service was registered without an owner; reinstall it\n"},
        {L"--owner-sid s-1-5-18", "Error: --owner-sid is not a SID\n"},
        {L"--owner-sid S-1-5-", "Error: --owner-sid is not a SID\n"},
        {L"install --owner-pid 0", "Error: --owner-pid is not a process ID\n"},
        {L"install --owner-pid -1", "Error: --owner-pid is not a process ID\n"},
        {L"install --owner-pid 4294967296", "Error: --owner-pid is not a process ID\n"},
        {L"install --owner-pid 4x", "Error: --owner-pid is not a process ID\n"},
        {L"install --owner-pid", "Error: install takes exactly --owner-pid <pid>\n"},
        {L"install --owner-sid S-1-5-18", "Error: install takes exactly --owner-pid <pid>\n"},
        {L"INSTALL --owner-pid 42", "Error: unknown helper command: INSTALL\n"},
        {L"uninstall now", "Error: unknown helper command: uninstall\n"},
        {L"\"\"", "Error: unknown helper command: \n"},
    };
    for (const Case& c : cases) {
        HelperRun run = run_helper(helper, c.arguments);
        EXPECT_EQ(run.exit_code, 1u) << to_utf8(c.arguments);
        EXPECT_EQ(run.out, "") << to_utf8(c.arguments);
        EXPECT_EQ(run.err, c.report) << to_utf8(c.arguments);
    }
    EXPECT_EQ(open_service_error(), DWORD{ERROR_SERVICE_DOES_NOT_EXIST});
}

TEST_F(ServiceTest, ConsoleErrorsWithOsCauses) {
    const std::wstring helper = helper_in(own_directory());

    // Service mode from a console: the dispatcher cannot connect.
    HelperRun service_mode = run_helper(helper, L"--owner-sid S-1-5-18");
    EXPECT_EQ(service_mode.exit_code, 1u);
    EXPECT_EQ(service_mode.out, "");
    EXPECT_EQ(service_mode.err.rfind("Error: IO error in winapi call\n\nCaused by:\n    ", 0), 0u)
        << service_mode.err;
    EXPECT_TRUE(service_mode.err.ends_with(" (os error 1063)\n")) << service_mode.err;
    EXPECT_EQ(std::count(service_mode.err.begin(), service_mode.err.end(), '\n'), 4)
        << service_mode.err;

    // A process that does not exist: the owner lookup fails before the SCM is touched.
    HelperRun no_process = run_helper(helper, L"install --owner-pid 4294967292");
    EXPECT_EQ(no_process.exit_code, 1u);
    EXPECT_EQ(no_process.out, "");
    EXPECT_EQ(no_process.err.rfind(
                  "Error: read the account of process 4294967292\n\nCaused by:\n    ", 0),
              0u)
        << no_process.err;
    EXPECT_NE(no_process.err.find(" (os error "), std::string::npos) << no_process.err;
    EXPECT_EQ(open_service_error(), DWORD{ERROR_SERVICE_DOES_NOT_EXIST});
}

TEST_F(ServiceTest, InstallServeReinstallStopAndUninstall) {
    if (!expected_core_digest_is_sample()) {
        GTEST_SKIP() << "this Helper is built for another Core than the sample in bin/";
    }
    const std::wstring directory = own_directory();
    const std::wstring helper = helper_in(directory);
    expect_silent_success(run_helper(helper, L"uninstall"), "uninstall before");

    // Install returns once the service runs and its port is published.
    expect_silent_success(run_helper(helper, install_arguments()), "install");
    std::optional<SERVICE_STATUS_PROCESS> status = service_status();
    ASSERT_TRUE(status);
    EXPECT_EQ(status->dwCurrentState, DWORD{SERVICE_RUNNING});
    EXPECT_EQ(status->dwControlsAccepted, DWORD{SERVICE_ACCEPT_STOP});
    std::optional<DWORD> port = published_port();
    ASSERT_TRUE(port);

    // The registration: bare path (no space in the build tree), own process, automatic start,
    // normal error control, the local system account, the owner in the launch arguments.
    std::optional<Registration> registered = registration();
    ASSERT_TRUE(registered);
    ASSERT_EQ(directory.find(L' '), std::wstring::npos);
    EXPECT_EQ(registered->binary_path, helper + L" --owner-sid " + to_utf16(own_sid()));
    EXPECT_EQ(registered->service_type, DWORD{SERVICE_WIN32_OWN_PROCESS});
    EXPECT_EQ(registered->start_type, DWORD{SERVICE_AUTO_START});
    EXPECT_EQ(registered->error_control, DWORD{SERVICE_ERROR_NORMAL});
    EXPECT_EQ(registered->account, L"LocalSystem");

    // Ping answers with the Helper's path; the sample Core starts, logs and stops over HTTP.
    HttpReply ping = http(*port, "GET", "/ping?coreSha256=" + std::string(expected_core_digest()));
    EXPECT_EQ(ping.status, 200) << ping.body;
    EXPECT_EQ(ping.body, to_utf8(helper));

    const std::string session = "0123456789abcdef0123456789abcdef";
    DWORD core = start_core(*port, session);
    EXPECT_FALSE(process_ended(core, 0ms));
    std::string log;
    for (int i = 0; i < 300 && log.find("sample Core") == std::string::npos; ++i) {
        std::this_thread::sleep_for(100ms);
        HttpReply logs = http(*port, "GET", "/logs");
        EXPECT_EQ(logs.status, 200);
        log = logs.body;
    }
    EXPECT_NE(log.find("in job: yes"), std::string::npos) << log;
    HttpReply stopped = http(*port, "POST", "/stop", R"({"sessionId":")" + session + R"("})");
    EXPECT_EQ(stopped.status, 200) << stopped.body;
    EXPECT_NE(stopped.body.find("\"stopped\":true"), std::string::npos) << stopped.body;
    EXPECT_TRUE(process_ended(core, 30s));

    // Install over the running service: the old one stops (and ends its Core), the new one
    // publishes a new port.
    DWORD old_core = start_core(*port, session);
    expect_silent_success(run_helper(helper, install_arguments()), "reinstall");
    EXPECT_TRUE(process_ended(old_core, 30s));
    status = service_status();
    ASSERT_TRUE(status);
    EXPECT_EQ(status->dwCurrentState, DWORD{SERVICE_RUNNING});
    std::optional<DWORD> new_port = published_port();
    ASSERT_TRUE(new_port);
    EXPECT_NE(*new_port, *port);
    EXPECT_EQ(
        http(*new_port, "GET", "/ping?coreSha256=" + std::string(expected_core_digest())).status,
        200);

    // STOP from the SCM: StopPending, then Stopped with exit code 0; the port is withdrawn and
    // the Core ended.
    DWORD new_core = start_core(*new_port, session);
    StopStates stop;
    {
        unique_service manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        unique_service service(
            ::OpenServiceW(manager.get(), kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS));
        ASSERT_TRUE(service);
        SERVICE_STATUS sent{};
        ASSERT_TRUE(::ControlService(service.get(), SERVICE_CONTROL_STOP, &sent))
            << ::GetLastError();
        stop = wait_for_stopped(service.get(), sent.dwCurrentState, 30s);
    }
    const std::vector<DWORD>& states = stop.states;
    const SERVICE_STATUS_PROCESS& last = stop.last;
    ASSERT_EQ(last.dwCurrentState, DWORD{SERVICE_STOPPED});
    EXPECT_EQ(last.dwWin32ExitCode, 0u);
    EXPECT_EQ(last.dwServiceSpecificExitCode, 0u);
    // Running, StopPending, Stopped, in that order and never back. A state may pass between two
    // polls, or before the STOP's own answer, which under Wine can already read Stopped (the
    // endpoint tests check the StopPending report itself).
    const std::vector<DWORD> order = {SERVICE_RUNNING, SERVICE_STOP_PENDING, SERVICE_STOPPED};
    auto next = order.begin();
    for (DWORD state : states) {
        next = std::find(next, order.end(), state);
        EXPECT_NE(next, order.end()) << "states seen: " << ::testing::PrintToString(states);
        if (next == order.end()) {
            break;
        }
        ++next;
    }
    EXPECT_FALSE(runtime_key_exists());
    EXPECT_TRUE(process_ended(new_core, 30s));

    // Uninstall removes the registration; a second uninstall has nothing to do.
    expect_silent_success(run_helper(helper, L"uninstall"), "uninstall");
    EXPECT_EQ(open_service_error(), DWORD{ERROR_SERVICE_DOES_NOT_EXIST});
    expect_silent_success(run_helper(helper, L"uninstall"), "uninstall again");
}

// A connection that is sent `bytes` right after connect (so that the owner check finds this
// process) and then left as it is.
unique_socket send_and_stall(DWORD port, const std::string& bytes) {
    unique_socket socket(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::send(socket.get(), bytes.data(), static_cast<int>(bytes.size()), 0),
              static_cast<int>(bytes.size()));
    return socket;
}

std::string h2_frame(std::uint8_t type, std::uint8_t flags, std::uint32_t stream,
                     const std::string& payload) {
    const std::size_t length = payload.size();
    std::string frame{static_cast<char>(length >> 16), static_cast<char>(length >> 8),
                      static_cast<char>(length), static_cast<char>(type), static_cast<char>(flags)};
    for (int shift = 24; shift >= 0; shift -= 8) {
        frame += static_cast<char>(stream >> shift);
    }
    return frame + payload;
}

// HPACK: a field whose name is entry `index` of the static table, its value literal and not
// indexed (indices above 14 take a second byte).
std::string hpack_field(std::uint8_t index, const std::string& value) {
    std::string field = index < 15 ? std::string(1, static_cast<char>(index))
                                   : std::string{'\x0f', static_cast<char>(index - 15)};
    return field + static_cast<char>(value.size()) + value;
}

// A stop is not held up by clients that leave their requests half sent: each such connection is
// ended once it has sent nothing for 2 s, well inside the time install and uninstall wait.
TEST_F(ServiceTest, StopEndsWhileClientsLeaveRequestsHalfSent) {
    if (!expected_core_digest_is_sample()) {
        GTEST_SKIP() << "this Helper is built for another Core than the sample in bin/";
    }
    const std::wstring helper = helper_in(own_directory());
    expect_silent_success(run_helper(helper, install_arguments()), "install");
    std::optional<DWORD> port = published_port();
    ASSERT_TRUE(port);
    const DWORD core = start_core(*port, hex32('c'));

    const std::string start = start_body(hex32('d'));
    const std::string head =
        "POST /start HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: "
        "application/json\r\nContent-Length: " +
        std::to_string(start.size()) + "\r\n\r\n";
    // :method POST, :scheme http, :path, :authority, content-type, content-length.
    const std::string h2_headers =
        "\x83\x86" + hpack_field(4, "/start") + hpack_field(1, "127.0.0.1") +
        hpack_field(31, "application/json") + hpack_field(28, std::to_string(start.size()));
    const std::string h2 = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n" + h2_frame(4, 0, 0, "") +
                           h2_frame(1, 0x4, 1, h2_headers) +  // END_HEADERS, no END_STREAM
                           h2_frame(0, 0, 1, start.substr(0, 10));
    std::vector<unique_socket> stalled;
    stalled.push_back(send_and_stall(*port, head + start.substr(0, 10)));  // body unfinished
    stalled.push_back(send_and_stall(*port, head.substr(0, 30)));          // head unfinished
    stalled.push_back(send_and_stall(*port, h2));                          // HTTP/2 body unfinished
    std::this_thread::sleep_for(1500ms);  // admitted and waiting for the rest

    unique_service manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    unique_service service(
        ::OpenServiceW(manager.get(), kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS));
    ASSERT_TRUE(service);
    SERVICE_STATUS sent{};
    const auto began = std::chrono::steady_clock::now();
    ASSERT_TRUE(::ControlService(service.get(), SERVICE_CONTROL_STOP, &sent)) << ::GetLastError();
    const SERVICE_STATUS_PROCESS last =
        wait_for_stopped(service.get(), sent.dwCurrentState, 30s).last;
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - began);
    std::printf("STOP with three stalled clients: %s after %lld ms\n",
                last.dwCurrentState == SERVICE_STOPPED ? "Stopped" : "still pending",
                static_cast<long long>(took.count()));
    stalled.clear();  // lets a service that waited for them stop before the next case
    ASSERT_EQ(last.dwCurrentState, DWORD{SERVICE_STOPPED});
    EXPECT_LT(took, 5s);
    EXPECT_EQ(last.dwWin32ExitCode, 0u);
    EXPECT_TRUE(process_ended(core, 30s));
    EXPECT_FALSE(runtime_key_exists());
    service.reset();
    manager.reset();

    // An update right after: install over the stopped service succeeds.
    expect_silent_success(run_helper(helper, install_arguments()), "install after the stop");
}

// A client that keeps its connection busy: `opening` right after connect, then `repeated` every
// `every` until it is destroyed, reading what comes back or, with `reads` false, never reading
// (its receive buffer then fills at once).
class BusyClient {
  public:
    BusyClient(DWORD port, const std::string& opening, std::string repeated,
               std::chrono::milliseconds every, bool reads)
        : socket_(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)),
          repeated_(std::move(repeated)),
          every_(every),
          reads_(reads) {
        if (!reads) {
            const int small = 4096;
            ::setsockopt(socket_.get(), SOL_SOCKET, SO_RCVBUF,
                         reinterpret_cast<const char*>(&small), sizeof small);
        }
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<u_short>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::connect(socket_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address),
                  0);
        EXPECT_EQ(::send(socket_.get(), opening.data(), static_cast<int>(opening.size()), 0),
                  static_cast<int>(opening.size()));
        thread_ = std::thread([this] { run(); });
    }
    BusyClient(const BusyClient&) = delete;
    BusyClient& operator=(const BusyClient&) = delete;
    ~BusyClient() {
        done_ = true;
        thread_.join();
    }

  private:
    void run() {
        bool reading = reads_;
        bool sending = true;
        auto next = std::chrono::steady_clock::now() + every_;
        while (!done_) {
            if (reading) {
                fd_set readable;
                FD_ZERO(&readable);
                FD_SET(socket_.get(), &readable);
                timeval wait{0, 20'000};
                if (::select(0, &readable, nullptr, nullptr, &wait) == 1) {
                    char chunk[16384];
                    reading = ::recv(socket_.get(), chunk, sizeof chunk, 0) > 0;
                }
            } else {
                std::this_thread::sleep_for(20ms);
            }
            if (sending && std::chrono::steady_clock::now() >= next) {
                sending = ::send(socket_.get(), repeated_.data(),
                                 static_cast<int>(repeated_.size()), 0) > 0;
                next += every_;
            }
        }
    }

    unique_socket socket_;
    const std::string repeated_;
    const std::chrono::milliseconds every_;
    const bool reads_;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

// A stop is not held up by clients that keep their connections busy, a frame or a byte at a
// time, or that stop reading behind replies: the drain's deadline ends them.
TEST_F(ServiceTest, StopEndsWhileClientsKeepTheirConnectionsBusy) {
    if (!expected_core_digest_is_sample()) {
        GTEST_SKIP() << "this Helper is built for another Core than the sample in bin/";
    }
    const std::string body_start = "{\"sessionI";
    const std::string http1 =
        "POST /stop HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
        "Content-Length: 220\r\n\r\n" +
        body_start;
    // :method POST, :scheme http, :path, :authority, content-type, content-length; END_HEADERS,
    // no END_STREAM, then 10 bytes of the 220.
    const std::string h2_stop =
        h2_frame(1, 0x4, 1,
                 "\x83\x86" + hpack_field(4, "/stop") + hpack_field(1, "127.0.0.1") +
                     hpack_field(31, "application/json") + hpack_field(28, "220")) +
        h2_frame(0, 0, 1, body_start);
    const std::string preface = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n" + h2_frame(4, 0, 0, "");
    // The largest windows, so that the replies fill the socket rather than wait for credit, and
    // 60 requests for the log behind the stalled stream.
    std::string behind = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n" +
                         h2_frame(4, 0, 0, std::string("\x00\x04\x7f\xff\xff\xff", 6)) +
                         h2_frame(8, 0, 0, std::string("\x7f\xff\x00\x00", 4)) + h2_stop;
    for (std::uint32_t id = 3; id < 123; id += 2) {
        behind += h2_frame(1, 0x5, id,  // END_HEADERS, END_STREAM
                           "\x82\x86" + hpack_field(4, "/logs") + hpack_field(1, "127.0.0.1"));
    }
    const std::string ping = h2_frame(6, 0, 0, "pingpong");
    struct Case {
        const char* name;
        std::string opening;
        std::string repeated;
        std::chrono::milliseconds every;
        bool reads;
    };
    const std::vector<Case> cases = {
        {"HTTP/1.1, a body byte every 1.9 s", http1, " ", 1900ms, true},
        {"HTTP/2, a body byte every 1.9 s", preface + h2_stop, h2_frame(0, 0, 1, " "), 1900ms,
         true},
        {"HTTP/2, a PING every second", preface + h2_stop, ping, 1000ms, true},
        {"HTTP/2, an empty DATA every second", preface + h2_stop, h2_frame(0, 0, 1, ""), 1000ms,
         true},
        {"HTTP/2, stops reading behind large replies", behind, ping, 1000ms, false},
    };
    const std::wstring helper = helper_in(own_directory());
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        expect_silent_success(run_helper(helper, install_arguments()), "install");
        std::optional<DWORD> port = published_port();
        ASSERT_TRUE(port);
        const DWORD core = start_core(*port, hex32('c'));
        std::optional<BusyClient> client;
        client.emplace(*port, row.opening, row.repeated, row.every, row.reads);
        std::this_thread::sleep_for(1500ms);  // admitted, and busy

        unique_service manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        unique_service service(
            ::OpenServiceW(manager.get(), kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS));
        ASSERT_TRUE(service);
        SERVICE_STATUS sent{};
        const auto began = std::chrono::steady_clock::now();
        ASSERT_TRUE(::ControlService(service.get(), SERVICE_CONTROL_STOP, &sent))
            << ::GetLastError();
        SERVICE_STATUS_PROCESS last{};
        while (std::chrono::steady_clock::now() - began < 30s) {
            DWORD needed = 0;
            ASSERT_TRUE(::QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                                               reinterpret_cast<BYTE*>(&last), sizeof last,
                                               &needed));
            if (last.dwCurrentState == SERVICE_STOPPED) {
                break;
            }
            std::this_thread::sleep_for(20ms);
        }
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - began);
        std::printf("STOP with %s: %s after %lld ms\n", row.name,
                    last.dwCurrentState == SERVICE_STOPPED ? "Stopped" : "still pending",
                    static_cast<long long>(took.count()));
        client.reset();  // lets a service that waited for it stop before the next row
        ASSERT_EQ(last.dwCurrentState, DWORD{SERVICE_STOPPED});
        // The drain's 5 s deadline ends the connection; the rest is room for a loaded machine.
        EXPECT_LT(took, 10s);
        EXPECT_EQ(last.dwWin32ExitCode, 0u);
        EXPECT_TRUE(process_ended(core, 5000ms));
        EXPECT_FALSE(runtime_key_exists());
    }
}

TEST_F(ServiceTest, UninstallWaitsWhileAnotherHandleKeepsTheServiceAlive) {
    const std::wstring helper = helper_in(own_directory());
    expect_silent_success(run_helper(helper, install_arguments()), "install");

    // Another tool's handle keeps the deleted service in the database until it is closed.
    unique_service manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    unique_service other(::OpenServiceW(manager.get(), kServiceName, SERVICE_QUERY_STATUS));
    ASSERT_TRUE(other);
    auto begin = std::chrono::steady_clock::now();
    HelperRun timed_out = run_helper(helper, L"uninstall");
    auto waited = std::chrono::steady_clock::now() - begin;
    EXPECT_EQ(timed_out.exit_code, 1u);
    EXPECT_EQ(timed_out.out, "");
    EXPECT_EQ(timed_out.err, "Error: timed out waiting for helper service deletion\n");
    EXPECT_GE(waited, 10s);
    // Still known to the SCM (Windows refuses a new open with 1072; Wine lets it through).
    DWORD still_there = open_service_error();
    EXPECT_TRUE(still_there == 0 || still_there == ERROR_SERVICE_MARKED_FOR_DELETE) << still_there;

    // Install over the pending deletion waits for the name to come free.
    std::thread release([&] {
        std::this_thread::sleep_for(1500ms);
        other.reset();
    });
    HelperRun install = run_helper(helper, install_arguments());
    release.join();
    expect_silent_success(install, "install after the handle is released");
    std::optional<SERVICE_STATUS_PROCESS> status = service_status();
    ASSERT_TRUE(status);
    EXPECT_EQ(status->dwCurrentState, DWORD{SERVICE_RUNNING});
}

// Install sets the recovery actions on the service it creates. Wine's SCM keeps no recovery
// setting to read back, so the call is recorded on its way to the SCM; the start is refused, so
// that this test program, which install registers as the service's executable, never runs as one.
TEST_F(ServiceTest, InstallSetsTheRecoveryActions) {
    struct RecordingCalls final : InstallSystemCalls {
        Status set_failure_actions(SC_HANDLE service, const scm::FailureActions& actions) override {
            recorded.push_back(actions);
            return InstallSystemCalls::set_failure_actions(service, actions);
        }
        Status start_service(SC_HANDLE) override { return Error::os(ERROR_SERVICE_DISABLED); }
        std::vector<scm::FailureActions> recorded;
    } calls;
    Status installed = install_helper_service(::GetCurrentProcessId(), calls);
    ASSERT_FALSE(installed);
    EXPECT_EQ(installed.error().message(), "start helper service");
    ASSERT_TRUE(registration());

    // Three restarts 5 s apart, the failure count reset after a day, no reboot and no command.
    ASSERT_EQ(calls.recorded.size(), 1u);
    const scm::FailureActions& recovery = calls.recorded[0];
    EXPECT_EQ(recovery.reset_period_seconds, 86400u);
    EXPECT_FALSE(recovery.reboot_message);
    EXPECT_FALSE(recovery.command);
    ASSERT_EQ(recovery.actions.size(), 3u);
    for (const SC_ACTION& action : recovery.actions) {
        EXPECT_EQ(action.Type, SC_ACTION_RESTART);
        EXPECT_EQ(action.Delay, 5000u);
    }
}

TEST_F(ServiceTest, PathWithSpaceIsRegisteredQuoted) {
    if (!expected_core_digest_is_sample()) {
        GTEST_SKIP() << "this Helper is built for another Core than the sample in bin/";
    }
    const std::wstring directory = own_directory() + L"\\dir with space";
    ::CreateDirectoryW(directory.c_str(), nullptr);
    for (const wchar_t* file : {L"\\DrovaneHelper.exe", L"\\DrovaneCore.exe"}) {
        ASSERT_TRUE(
            ::CopyFileW((own_directory() + file).c_str(), (directory + file).c_str(), FALSE))
            << ::GetLastError();
    }
    const std::wstring helper = helper_in(directory);
    expect_silent_success(run_helper(helper, install_arguments()), "install");

    std::optional<Registration> registered = registration();
    ASSERT_TRUE(registered);
    EXPECT_EQ(registered->binary_path, L"\"" + helper + L"\" --owner-sid " + to_utf16(own_sid()));
    std::optional<DWORD> port = published_port();
    ASSERT_TRUE(port);
    HttpReply ping = http(*port, "GET", "/ping?coreSha256=" + std::string(expected_core_digest()));
    EXPECT_EQ(ping.status, 200) << ping.body;
    EXPECT_EQ(ping.body, to_utf8(helper));

    expect_silent_success(run_helper(helper, L"uninstall"), "uninstall");
    EXPECT_EQ(open_service_error(), DWORD{ERROR_SERVICE_DOES_NOT_EXIST});
}

}  // namespace
}  // namespace drovane::win

// ---------------------------------------------------------------------------------------------
// The diagnostic client, DrovaneHelperClient.exe, against the installed service.

namespace drovane::win {
namespace {

// The client's console output is text: its line ends are compared as "\n".
HelperRun run_client(const std::wstring& arguments) {
    HelperRun run = run_helper(own_directory() + L"\\DrovaneHelperClient.exe", arguments);
    std::erase(run.out, '\r');
    std::erase(run.err, '\r');
    return run;
}

bool holds(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST_F(ServiceTest, DiagnosticClientCommands) {
    HelperRun absent = run_client(L"ping");
    EXPECT_EQ(absent.exit_code, 1u);
    EXPECT_TRUE(holds(absent.err,
                      "DrovaneHelperService is not installed: install the Helper from the "
                      "desktop client"))
        << absent.err;

    // The client installs with its own process as the owner.
    HelperRun install = run_client(L"install");
    ASSERT_EQ(install.exit_code, 0u) << install.err;
    ASSERT_TRUE(published_port().has_value());

    HelperRun ping = run_client(L"ping");
    EXPECT_EQ(ping.exit_code, 0u) << ping.out << ping.err;
    EXPECT_TRUE(holds(ping.out, "protocol: 8\nstatus: 200\n")) << ping.out;
    EXPECT_TRUE(holds(ping.out, "DrovaneHelper.exe")) << ping.out;

    HelperRun mismatch = run_client(L"ping --sha256 " + std::wstring(64, L'0'));
    EXPECT_EQ(mismatch.exit_code, 1u);
    EXPECT_TRUE(holds(mismatch.out, "status: 409\ncode: coreSha256Mismatch\n")) << mismatch.out;

    if (expected_core_digest_is_sample()) {
        const std::string session = hex32('a');
        const std::string address = "\\\\.\\pipe\\DrovaneCore_" + hex32('f');
        HelperRun start = run_client(L"start --session " + to_utf16(session) + L" --address " +
                                     to_utf16(address));
        EXPECT_EQ(start.exit_code, 0u) << start.out << start.err;
        EXPECT_TRUE(holds(start.out, "status: 200\nsessionId: " + session + "\npid: "))
            << start.out;

        const std::string core_line = "sample Core " + address + " in job: yes";
        HelperRun logs;
        for (int attempt = 0; attempt < 150 && !holds(logs.out, core_line); ++attempt) {
            std::this_thread::sleep_for(100ms);
            logs = run_client(L"logs");
        }
        EXPECT_EQ(logs.exit_code, 0u);
        EXPECT_TRUE(holds(logs.out, core_line)) << logs.out;

        // Following prints what is there once, and nothing again while nothing changes.
        HelperRun follow = run_client(L"logs --follow --polls 3 --interval-ms 50");
        EXPECT_EQ(follow.exit_code, 0u) << follow.err;
        EXPECT_EQ(follow.out, logs.out);

        HelperRun other = run_client(L"stop --session " + to_utf16(hex32('b')));
        EXPECT_EQ(other.exit_code, 1u);
        EXPECT_TRUE(holds(other.out, "status: 409\n")) << other.out;
        EXPECT_TRUE(holds(other.out, "reason: sessionMismatch\n")) << other.out;

        HelperRun stop = run_client(L"stop --session " + to_utf16(session));
        EXPECT_EQ(stop.exit_code, 0u) << stop.out;
        EXPECT_TRUE(holds(stop.out, "status: 200\nsessionId: " + session + "\nstopped: true\n"))
            << stop.out;
    }

    HelperRun usage = run_client(L"stop");
    EXPECT_EQ(usage.exit_code, 1u);
    EXPECT_TRUE(holds(usage.err, "stop needs --session <id>")) << usage.err;

    HelperRun uninstall = run_client(L"uninstall");
    EXPECT_EQ(uninstall.exit_code, 0u) << uninstall.err;
    EXPECT_FALSE(runtime_key_exists());
    if (!expected_core_digest_is_sample()) {
        GTEST_SKIP() << "start, logs and stop not run: this Helper is built for another Core "
                        "than the sample in bin/";
    }
}

}  // namespace
}  // namespace drovane::win
