#include "helper_client/helper_endpoint.hpp"

#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>

#include "names.hpp"
#include "text.hpp"
#include "win/handles.hpp"
#include "win/last_error.hpp"

// After <winsock2.h>, which they need.
#include <iphlpapi.h>

namespace drovane::helper_client {

namespace {

constexpr int kMaxTableCalls = 5;
// How long, under Wine, the owner of the Helper's end may stay unnamed before it is taken as it
// is (see read_owners).
constexpr std::chrono::milliseconds kUnnamedOwnerWait{100};
const std::string kClosedUnanswered =
    "the Helper closed the connection without a reply (is this process running under the "
    "Helper's owner account?)";

const std::string kWhatToDo = "the Helper is not running: restart it (sc start " +
                              std::string(names::service) +
                              ") or reinstall it from the desktop client";

// Winsock counts its users: each exchange takes and releases its own share, so callers need not.
class WinsockUse {
  public:
    WinsockUse() {
        WSADATA data;
        started_ = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    ~WinsockUse() {
        if (started_) {
            ::WSACleanup();
        }
    }
    WinsockUse(const WinsockUse&) = delete;
    WinsockUse& operator=(const WinsockUse&) = delete;
    bool started() const { return started_; }

  private:
    bool started_ = false;
};

Failure system_failure(Error error) {
    return {FailureKind::system, std::move(error)};
}

// A connected loopback socket, the port of its own end, and the port it reached. Winsock stays
// started for as long as the socket lives (declared first, it ends last).
struct Connection {
    std::unique_ptr<WinsockUse> winsock;
    win::unique_socket socket;
    unsigned port = 0;
    unsigned client_port = 0;
};

// Wine names the owner of a socket in the TCP table only once that process has moved data
// through it, and the Helper's sockets (listening and accepted, driven by overlapped I/O) not
// before it has read a request. There, a Helper end that names no process (PID 0) cannot be told
// from the Helper's own before sending; Windows names the owner of every socket at once.
bool running_under_wine() {
    static const bool wine = [] {
        HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
        return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
    }();
    return wine;
}

// The owners of the Helper's end of a new connection and of the port's listening socket. First a
// zero-byte send, which puts nothing on the wire but ties the client's socket to this process
// (the Helper's own check needs that under Wine). Under Wine, an end that names no process is
// read again for a short while, and is watched for the peer closing it (the Helper refusing
// another account).
Call<ListenerOwners> read_owners(SOCKET socket, unsigned port, unsigned client_port) {
    if (::send(socket, "", 0, 0) == SOCKET_ERROR) {
        return Failure{FailureKind::connection,
                       Error::os(::WSAGetLastError()).context("use the new connection")};
    }
    const auto deadline = std::chrono::steady_clock::now() + kUnnamedOwnerWait;
    while (true) {
        Result<ListenerOwners> owners = read_listener_owners(port, client_port);
        if (!owners) {
            return system_failure(std::move(owners).error().context("read the TCP table"));
        }
        if (owners->connection.value_or(0) != 0 || !running_under_wine() ||
            std::chrono::steady_clock::now() >= deadline) {
            return std::move(owners).value();
        }
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(socket, &readable);
        timeval wait{0, 10000};
        if (::select(0, &readable, nullptr, nullptr, &wait) == 1) {
            char byte;
            if (::recv(socket, &byte, 1, MSG_PEEK) <= 0) {
                return Failure{FailureKind::connection, Error(kClosedUnanswered)};
            }
        }
    }
}

// Whether the owners show the connection reaching the service's process: the Helper's end names
// it. Under Wine only, an end that names no process passes as long as the listening socket names
// no other process either; the service's process being alive is checked besides.
bool is_service_endpoint(const ListenerOwners& owners, std::uint32_t service_pid) {
    const std::uint32_t connection = owners.connection.value_or(0);
    if (connection != 0 || !running_under_wine()) {
        return connection == service_pid;
    }
    const std::uint32_t listener = owners.listener.value_or(0);
    return owners.connection.has_value() && (listener == 0 || listener == service_pid);
}

// Connects to the published port and proves, before anything is sent, that the Helper's end
// belongs to the process the SCM runs the service in.
Call<Connection> connect_to_helper() {
    Connection connection;
    connection.winsock = std::make_unique<WinsockUse>();
    if (!connection.winsock->started()) {
        return system_failure(Error("Winsock is not available"));
    }
    Result<unsigned> port = read_helper_port();
    if (!port) {
        return Failure{FailureKind::not_running, std::move(port).error()};
    }
    Call<std::uint32_t> service_pid = running_service_pid();
    if (!service_pid) {
        return service_pid.failure();
    }
    // Held until the verdict, so that the ID cannot pass to another process meanwhile.
    win::unique_handle service_process(
        ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, *service_pid));
    const bool service_alive =
        service_process && ::WaitForSingleObject(service_process.get(), 0) == WAIT_TIMEOUT;

    connection.port = *port;
    connection.socket.reset(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!connection.socket) {
        return Failure{FailureKind::connection,
                       Error::os(::WSAGetLastError()).context("create a socket")};
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(*port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(connection.socket.get(), reinterpret_cast<const sockaddr*>(&address),
                  sizeof(address)) != 0) {
        return Failure{FailureKind::connection,
                       Error::os(::WSAGetLastError())
                           .context("connect to the Helper at 127.0.0.1:" + std::to_string(*port))
                           .context(kWhatToDo)};
    }
    sockaddr_in own{};
    int own_length = sizeof(own);
    if (::getsockname(connection.socket.get(), reinterpret_cast<sockaddr*>(&own), &own_length) !=
        0) {
        return system_failure(Error::os(::WSAGetLastError()).context("read the socket's own end"));
    }
    connection.client_port = ntohs(own.sin_port);

    Call<ListenerOwners> owners =
        read_owners(connection.socket.get(), *port, connection.client_port);
    if (!owners) {
        return owners.failure();
    }
    if (!service_alive || !is_service_endpoint(*owners, *service_pid)) {
        // Names the process the table gives for the connection, else for the listening socket.
        std::uint32_t owner = owners->connection.value_or(0);
        if (owner == 0) {
            owner = owners->listener.value_or(0);
        }
        std::string named = owner != 0 ? "process " + std::to_string(owner)
                                       : "a process the system does not name (PID 0)";
        std::string service = std::string(names::service) + "'s process " +
                              std::to_string(*service_pid) +
                              (service_alive ? "" : ", which has ended");
        return Failure{FailureKind::not_helper,
                       Error("the listener on 127.0.0.1:" + std::to_string(*port) + " is " + named +
                             ", not " + service + ": " + kWhatToDo)};
    }
    return connection;
}

}  // namespace

Result<unsigned> read_helper_port() {
    DWORD port = 0;
    DWORD size = sizeof(port);
    LSTATUS status =
        RegGetValueW(HKEY_LOCAL_MACHINE, names::runtime_key_wide.data(),
                     names::port_value_wide.data(), RRF_RT_REG_DWORD, nullptr, &port, &size);
    if (status != ERROR_SUCCESS) {
        return Error::os(static_cast<std::uint32_t>(status))
            .context(
                "the Helper is not installed or not running: no Port value under "
                "HKEY_LOCAL_MACHINE\\" +
                std::string(names::runtime_key));
    }
    if (port == 0 || port > 65535) {
        return Error("the Helper published no valid port: " + std::to_string(port));
    }
    return static_cast<unsigned>(port);
}

Call<std::uint32_t> running_service_pid() {
    win::unique_service manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        return system_failure(win::last_os_error().context("open Windows service manager"));
    }
    win::unique_service service(
        ::OpenServiceW(manager.get(), names::service_wide.data(), SERVICE_QUERY_STATUS));
    if (!service) {
        Error error = win::last_os_error();
        if (error.os_code() == ERROR_SERVICE_DOES_NOT_EXIST) {
            return Failure{FailureKind::not_running,
                           std::move(error).context(std::string(names::service) +
                                                    " is not installed: install the Helper from "
                                                    "the desktop client")};
        }
        return system_failure(std::move(error).context("open " + std::string(names::service)));
    }
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!::QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                                reinterpret_cast<BYTE*>(&status), sizeof(status), &needed)) {
        return system_failure(
            win::last_os_error().context("query " + std::string(names::service) + "'s status"));
    }
    if (status.dwCurrentState != SERVICE_RUNNING || status.dwProcessId == 0) {
        return Failure{FailureKind::not_running,
                       Error(std::string(names::service) + " is not running (state " +
                             std::to_string(status.dwCurrentState) + "): " + kWhatToDo)};
    }
    return static_cast<std::uint32_t>(status.dwProcessId);
}

Result<ListenerOwners> read_listener_owners(unsigned port, unsigned client_port) {
    // The table is DWORD-aligned; the buffer is whole 32-bit units of the size last asked for.
    std::vector<std::uint32_t> buffer;
    DWORD size = 0;
    DWORD result = ERROR_INSUFFICIENT_BUFFER;
    for (int call = 0; call < kMaxTableCalls; ++call) {
        result = ::GetExtendedTcpTable(buffer.empty() ? nullptr : buffer.data(), &size, FALSE,
                                       AF_INET, TCP_TABLE_OWNER_PID_ALL, 0);
        if (result != ERROR_INSUFFICIENT_BUFFER) {
            break;
        }
        buffer.assign((size + 3) / 4 + 1, 0);
    }
    if (result == ERROR_INSUFFICIENT_BUFFER) {
        return Error("the TCP table kept growing");
    }
    if (result != NO_ERROR) {
        return Error::os(result);
    }
    ListenerOwners owners;
    if (buffer.empty()) {
        return owners;
    }
    const auto* table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(buffer.data());
    const DWORD loopback = htonl(INADDR_LOOPBACK);
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const MIB_TCPROW_OWNER_PID& row = table->table[i];
        // Ports sit in the low 16 bits of their field, in network order.
        const unsigned local_port = ntohs(static_cast<u_short>(row.dwLocalPort));
        const unsigned remote_port = ntohs(static_cast<u_short>(row.dwRemotePort));
        if (row.dwLocalAddr != loopback || local_port != port) {
            continue;
        }
        if (row.dwState == MIB_TCP_STATE_LISTEN) {
            owners.listener = row.dwOwningPid;
        } else if (row.dwRemoteAddr == loopback && remote_port == client_port) {
            owners.connection = row.dwOwningPid;
        }
    }
    return owners;
}

Call<unsigned> HelperTransport::authenticate() {
    Call<Connection> connection = connect_to_helper();
    if (!connection) {
        return connection.failure();
    }
    return connection->port;
}

Call<HttpReply> HelperTransport::exchange(std::string_view method, std::string_view target,
                                          std::string_view json_body) {
    Call<Connection> connection = connect_to_helper();
    if (!connection) {
        return connection.failure();
    }
    SOCKET socket = connection->socket.get();
    std::string request = format_request(method, target, connection->port, json_body);
    for (std::size_t sent = 0; sent < request.size();) {
        int n = ::send(socket, request.data() + sent, static_cast<int>(request.size() - sent), 0);
        if (n == SOCKET_ERROR) {
            return Failure{
                FailureKind::connection,
                Error::os(::WSAGetLastError()).context("send the request to the Helper")};
        }
        sent += static_cast<std::size_t>(n);
    }
    std::string bytes;
    char buffer[8192];
    while (true) {
        int n = ::recv(socket, buffer, sizeof(buffer), 0);
        if (n == 0) {
            break;
        }
        if (n == SOCKET_ERROR) {
            int code = ::WSAGetLastError();
            if (code == WSAECONNRESET && !bytes.empty()) {
                break;
            }
            return Failure{FailureKind::connection,
                           Error::os(code).context("read the Helper's reply")};
        }
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    if (bytes.empty()) {
        return Failure{FailureKind::connection, Error(kClosedUnanswered)};
    }
    Result<HttpReply> reply = parse_reply(bytes);
    if (!reply) {
        return Failure{FailureKind::bad_reply, std::move(reply).error()};
    }
    return std::move(reply).value();
}

}  // namespace drovane::helper_client
