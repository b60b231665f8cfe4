#include "helper_client/helper_endpoint.hpp"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "names.hpp"
#include "win/handles.hpp"
#include "win/last_error.hpp"

// After <winsock2.h> and <windows.h>, which they need.
#include <bcrypt.h>
#include <iphlpapi.h>
#include <tlhelp32.h>

namespace drovane::helper_client {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMaxTableCalls = 5;
// Rows the table may gain between the call that sizes the buffer and the one that fills it.
constexpr DWORD kTableMarginRows = 64;
// How long, under Wine, the owner of the Helper's end may stay unnamed before it is taken as it
// is (see read_owners), and how often it is read meanwhile.
constexpr std::chrono::milliseconds kUnnamedOwnerWait{100};
constexpr DWORD kUnnamedOwnerPollMs = 10;
// How often a client waiting for the Core's pipe looks again.
constexpr DWORD kPipePollMs = 20;

const std::string kClosedUnanswered =
    "the Helper closed the connection without a reply: this process does not run under the "
    "Helper's owner account, or is a sandboxed process of it";

// Advice a standard user can follow: starting a service needs an administrator, reinstalling
// asks for one.
const std::string kWhatToDo =
    "reinstall the Helper from the desktop client, or restart the computer (the service starts "
    "at boot)";

Failure system_failure(Error error) {
    return {FailureKind::system, std::move(error)};
}

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

// The end of one call: its deadline and the handle's cancel event. Waits end at whichever comes
// first.
class Deadline {
  public:
    Deadline(std::chrono::milliseconds timeout, HANDLE cancel)
        : timeout_(timeout), end_(Clock::now() + timeout), cancel_(cancel) {}

    // Waits for `event`, at most `slice` milliseconds when given: true when it is signalled,
    // false when the slice ran out, the failure when the deadline passed or the call was
    // cancelled.
    Call<bool> wait(HANDLE event, const std::string& step,
                    std::optional<DWORD> slice = std::nullopt) const {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(end_ - Clock::now());
        DWORD remaining = left.count() <= 0 ? 0 : static_cast<DWORD>(left.count());
        DWORD wait_ms = slice ? std::min(*slice, remaining) : remaining;
        HANDLE events[] = {event, cancel_};
        DWORD waited = ::WaitForMultipleObjects(2, events, FALSE, wait_ms);
        if (waited == WAIT_OBJECT_0) {
            return true;
        }
        if (waited == WAIT_OBJECT_0 + 1) {
            return Failure{FailureKind::cancelled, Error("the call was cancelled").context(step)};
        }
        if (waited == WAIT_TIMEOUT) {
            if (slice && *slice < remaining) {
                return false;
            }
            return Failure{
                FailureKind::timed_out,
                Error("the call's timeout of " + std::to_string(timeout_.count()) + " ms passed")
                    .context(step)};
        }
        return system_failure(win::last_os_error().context(step));
    }

  private:
    std::chrono::milliseconds timeout_;
    Clock::time_point end_;
    HANDLE cancel_;
};

// One blocking system call on a thread of its own, which the caller abandons when the deadline
// passes or the call is cancelled: the job owns everything it touches, and the thread holds a
// reference to this module until it returns, so that a DLL unloaded meanwhile stays mapped.
struct Job {
    std::function<void()> work;
    win::unique_handle done;
    HMODULE module = nullptr;
};

DWORD WINAPI run_job(void* parameter) {
    HMODULE module = nullptr;
    {
        std::unique_ptr<std::shared_ptr<Job>> owner(static_cast<std::shared_ptr<Job>*>(parameter));
        std::shared_ptr<Job> job = *owner;
        owner.reset();
        module = job->module;
        try {
            job->work();
        } catch (...) {
            // The job's result stays empty; the waiter reports that.
        }
        ::SetEvent(job->done.get());
    }
    ::FreeLibraryAndExitThread(module, 0);
}

template <typename T>
Call<T> bounded(const Deadline& deadline, const std::string& step, std::function<T()> work) {
    auto result = std::make_shared<std::optional<T>>();
    auto job = std::make_shared<Job>();
    job->work = [result, work = std::move(work)] { result->emplace(work()); };
    job->done.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!job->done) {
        return system_failure(win::last_os_error().context(step));
    }
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                              reinterpret_cast<LPCWSTR>(&run_job), &job->module)) {
        return system_failure(win::last_os_error().context(step));
    }
    auto parameter = std::make_unique<std::shared_ptr<Job>>(job);
    win::unique_handle thread(::CreateThread(nullptr, 0, run_job, parameter.get(), 0, nullptr));
    if (!thread) {
        Error error = win::last_os_error();
        ::FreeLibrary(job->module);
        return system_failure(std::move(error).context(step));
    }
    parameter.release();  // the thread owns it now
    Call<bool> waited = deadline.wait(job->done.get(), step);
    if (!waited) {
        return waited.failure();
    }
    if (!result->has_value()) {
        return system_failure(Error("memory ran out").context(step));
    }
    return std::move(**result);
}

// A connected loopback socket, the event its network events signal, the port of its own end,
// and the port it reached. Winsock stays started for as long as the socket lives (declared first,
// it ends last).
struct Connection {
    std::unique_ptr<WinsockUse> winsock;
    win::unique_socket socket;
    win::unique_handle event;
    unsigned port = 0;
    unsigned client_port = 0;
};

Failure connection_failure(int code, std::string step) {
    return {FailureKind::connection, Error::os(static_cast<std::uint32_t>(code)).context(step)};
}

// Waits for the socket's next network event, then clears it.
Call<bool> wait_socket(const Connection& connection, const Deadline& deadline,
                       const std::string& step, std::optional<DWORD> slice = std::nullopt) {
    Call<bool> waited = deadline.wait(connection.event.get(), step, slice);
    if (waited && *waited) {
        WSANETWORKEVENTS events{};
        ::WSAEnumNetworkEvents(connection.socket.get(), connection.event.get(), &events);
    }
    return waited;
}

bool is_closed_by_peer(int code) {
    return code == WSAECONNRESET || code == WSAECONNABORTED;
}

// Sends all of `bytes`; a zero-length send is made once (see read_owners).
Call<bool> send_all(const Connection& connection, const Deadline& deadline, std::string_view bytes,
                    const std::string& step) {
    std::size_t sent = 0;
    do {
        int n = ::send(connection.socket.get(), bytes.data() + sent,
                       static_cast<int>(bytes.size() - sent), 0);
        if (n != SOCKET_ERROR) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        int code = ::WSAGetLastError();
        if (code != WSAEWOULDBLOCK) {
            if (is_closed_by_peer(code)) {
                return Failure{FailureKind::not_owner, Error(kClosedUnanswered)};
            }
            return connection_failure(code, step);
        }
        Call<bool> waited = wait_socket(connection, deadline, step);
        if (!waited) {
            return waited.failure();
        }
    } while (sent < bytes.size());
    return true;
}

// Whether the peer has closed the connection, without taking any byte it sent.
bool peer_closed(const Connection& connection) {
    char byte;
    int n = ::recv(connection.socket.get(), &byte, 1, MSG_PEEK);
    return n == 0 || (n == SOCKET_ERROR && is_closed_by_peer(::WSAGetLastError()));
}

// Connects to the published port without blocking past the deadline.
Call<Connection> connect_to(unsigned port, const Deadline& deadline) {
    Connection connection;
    connection.winsock = std::make_unique<WinsockUse>();
    if (!connection.winsock->started()) {
        return system_failure(Error("Winsock is not available"));
    }
    connection.port = port;
    connection.socket.reset(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!connection.socket) {
        return connection_failure(::WSAGetLastError(), "create a socket");
    }
    connection.event.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!connection.event) {
        return system_failure(win::last_os_error().context("create a socket event"));
    }
    // Makes the socket non-blocking: every wait below is on its event and the deadline.
    if (::WSAEventSelect(connection.socket.get(), connection.event.get(),
                         FD_CONNECT | FD_READ | FD_WRITE | FD_CLOSE) != 0) {
        return connection_failure(::WSAGetLastError(), "watch the socket");
    }
    const std::string step = "connect to the Helper at 127.0.0.1:" + std::to_string(port);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(connection.socket.get(), reinterpret_cast<const sockaddr*>(&address),
                  sizeof(address)) != 0) {
        if (int code = ::WSAGetLastError(); code != WSAEWOULDBLOCK) {
            return Failure{
                FailureKind::connection,
                Error::os(static_cast<std::uint32_t>(code)).context(step).context(kWhatToDo)};
        }
        while (true) {
            Call<bool> waited = deadline.wait(connection.event.get(), step);
            if (!waited) {
                return waited.failure();
            }
            WSANETWORKEVENTS events{};
            if (::WSAEnumNetworkEvents(connection.socket.get(), connection.event.get(), &events) !=
                0) {
                return connection_failure(::WSAGetLastError(), step);
            }
            if ((events.lNetworkEvents & FD_CONNECT) != 0) {
                if (int code = events.iErrorCode[FD_CONNECT_BIT]; code != 0) {
                    return Failure{FailureKind::connection,
                                   Error::os(static_cast<std::uint32_t>(code))
                                       .context(step)
                                       .context(kWhatToDo)};
                }
                break;
            }
        }
    }
    sockaddr_in own{};
    int own_length = sizeof(own);
    if (::getsockname(connection.socket.get(), reinterpret_cast<sockaddr*>(&own), &own_length) !=
        0) {
        return system_failure(Error::os(static_cast<std::uint32_t>(::WSAGetLastError()))
                                  .context("read the socket's own end"));
    }
    connection.client_port = ntohs(own.sin_port);
    return connection;
}

// The owners of the Helper's end of a new connection and of the port's listening socket. First a
// zero-byte send, which puts nothing on the wire but ties the client's socket to this process
// (the Helper's own check needs that under Wine). Where the table names owners late, an end that
// names no process is read again for a short while, and is watched for the peer closing it (the
// Helper refusing another account).
Call<ListenerOwners> read_owners(const Connection& connection, const Deadline& deadline,
                                 const std::shared_ptr<ClientSystemCalls>& calls, bool names_late) {
    Call<bool> touched =
        send_all(connection, deadline, std::string_view(""), "use the new connection");
    if (!touched) {
        return touched.failure();
    }
    const auto unnamed_until = Clock::now() + kUnnamedOwnerWait;
    const unsigned port = connection.port;
    const unsigned client_port = connection.client_port;
    while (true) {
        Call<Result<ListenerOwners>> owners = bounded<Result<ListenerOwners>>(
            deadline, "read the TCP table",
            [calls, port, client_port] { return calls->listener_owners(port, client_port); });
        if (!owners) {
            return owners.failure();
        }
        if (!*owners) {
            return system_failure(std::move(*owners).error().context("read the TCP table"));
        }
        if ((*owners)->connection.value_or(0) != 0 || !names_late ||
            Clock::now() >= unnamed_until) {
            return std::move(*owners).value();
        }
        if (peer_closed(connection)) {
            return Failure{FailureKind::not_owner, Error(kClosedUnanswered)};
        }
        Call<bool> waited =
            wait_socket(connection, deadline, "wait for the Helper's end", kUnnamedOwnerPollMs);
        if (!waited) {
            return waited.failure();
        }
    }
}

// Whether the owners show the connection reaching the service's process: the Helper's end names
// it. Where the table names owners late only, an end that names no process passes as long as the
// listening socket names no other process either; the service's process being alive is checked
// besides.
bool is_service_endpoint(const ListenerOwners& owners, std::uint32_t service_pid, bool names_late) {
    const std::uint32_t connection = owners.connection.value_or(0);
    if (connection != 0 || !names_late) {
        return connection == service_pid;
    }
    const std::uint32_t listener = owners.listener.value_or(0);
    return owners.connection.has_value() && (listener == 0 || listener == service_pid);
}

std::string service_name() {
    return std::string(names::service);
}

// The service's status as the service manager reports it, under the deadline.
Call<ServiceReport> service_status(const std::shared_ptr<ClientSystemCalls>& calls,
                                   const Deadline& deadline) {
    Call<Result<ServiceReport>> status =
        bounded<Result<ServiceReport>>(deadline, "query " + service_name() + "'s status",
                                       [calls] { return calls->service_status(); });
    if (!status) {
        return status.failure();
    }
    if (!*status) {
        return system_failure(std::move(*status).error());
    }
    return **status;
}

// The service's status under the deadline, as a failure unless it runs in a process.
Call<ServiceReport> running_service(const std::shared_ptr<ClientSystemCalls>& calls,
                                    const Deadline& deadline) {
    Call<ServiceReport> status = service_status(calls, deadline);
    if (!status) {
        return status;
    }
    const ServiceReport& report = *status;
    if (!report.installed) {
        return Failure{FailureKind::not_installed,
                       Error(service_name() +
                             " is not installed: install the Helper from the desktop client")};
    }
    if (report.state != kServiceRunning || report.pid == 0) {
        return Failure{FailureKind::not_started,
                       Error(service_name() + " is not running (state " +
                             std::to_string(report.state) + "): " + kWhatToDo)};
    }
    return report;
}

// Proves, before anything is sent, that the Helper's end of a new connection belongs to the
// process the SCM runs the service in: the service's status (Running, process P), the connection,
// the table row of the Helper's end naming P, and the status again (still Running, still P). The
// SCM holds P's process while the service runs, so the ID cannot pass to another process in
// between; no process is opened, which a standard user could not do.
Call<Connection> connect_to_helper(const std::shared_ptr<ClientSystemCalls>& calls,
                                   const Deadline& deadline) {
    Call<ServiceReport> before = running_service(calls, deadline);
    if (!before) {
        return before.failure();
    }
    const std::uint32_t service_pid = before->pid;
    Call<Result<std::optional<unsigned>>> port = bounded<Result<std::optional<unsigned>>>(
        deadline, "read the Helper's port", [calls] { return calls->published_port(); });
    if (!port) {
        return port.failure();
    }
    if (!*port) {
        return system_failure(std::move(*port).error().context("read the Helper's port"));
    }
    if (!**port) {
        return Failure{FailureKind::not_running,
                       Error(service_name() +
                             " runs but has published no port under "
                             "HKEY_LOCAL_MACHINE\\" +
                             std::string(names::runtime_key) + ": " + kWhatToDo)};
    }
    Call<Connection> connection = connect_to(***port, deadline);
    if (!connection) {
        return connection.failure();
    }
    const bool names_late = calls->table_names_owner_late();
    Call<ListenerOwners> owners = read_owners(*connection, deadline, calls, names_late);
    if (!owners) {
        return owners.failure();
    }
    // Where the service manager does not notice a dead service process (Wine), a snapshot of the
    // processes tells whether it still exists.
    bool service_alive = true;
    if (names_late) {
        Call<Result<bool>> listed = bounded<Result<bool>>(
            deadline, "list the processes",
            [calls, service_pid] { return calls->process_listed(service_pid); });
        if (!listed) {
            return listed.failure();
        }
        if (!*listed) {
            return system_failure(std::move(*listed).error().context("list the processes"));
        }
        service_alive = **listed;
    }
    Call<ServiceReport> after = running_service(calls, deadline);
    if (!after) {
        return after.failure();
    }
    const unsigned reached = connection->port;
    if (after->pid != service_pid) {
        return Failure{FailureKind::not_helper,
                       Error(service_name() + " restarted (process " + std::to_string(service_pid) +
                             ", now " + std::to_string(after->pid) +
                             ") while the listener on 127.0.0.1:" + std::to_string(reached) +
                             " was checked: nothing was sent; try again")};
    }
    if (!service_alive || !is_service_endpoint(*owners, service_pid, names_late)) {
        // Names the process the table gives for the connection, else for the listening socket.
        std::uint32_t owner = owners->connection.value_or(0);
        if (owner == 0) {
            owner = owners->listener.value_or(0);
        }
        std::string named = owner != 0 ? "process " + std::to_string(owner)
                                       : "a process the system does not name (PID 0)";
        std::string service = service_name() + "'s process " + std::to_string(service_pid) +
                              (service_alive ? "" : ", which has ended");
        return Failure{FailureKind::not_helper,
                       Error("the listener on 127.0.0.1:" + std::to_string(reached) + " is " +
                             named + ", not " + service + ": nothing was sent; " + kWhatToDo)};
    }
    return connection;
}

}  // namespace

ListenerOwners find_listener_owners(std::span<const std::byte> table, unsigned port,
                                    unsigned client_port) {
    ListenerOwners owners;
    const std::size_t head = offsetof(MIB_TCPTABLE_OWNER_PID, table);
    if (table.size() < head) {
        return owners;
    }
    DWORD count = 0;
    std::memcpy(&count, table.data(), sizeof(count));
    const std::size_t whole_rows = (table.size() - head) / sizeof(MIB_TCPROW_OWNER_PID);
    const std::size_t rows = std::min<std::size_t>(count, whole_rows);
    const DWORD loopback = htonl(INADDR_LOOPBACK);
    for (std::size_t i = 0; i < rows; ++i) {
        MIB_TCPROW_OWNER_PID row;
        std::memcpy(&row, table.data() + head + i * sizeof(row), sizeof(row));
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

Result<ListenerOwners> read_listener_owners(unsigned port, unsigned client_port) {
    // The table is DWORD-aligned; the buffer is whole 32-bit units of the size last asked for,
    // with room for rows added before the next call.
    std::vector<std::uint32_t> buffer;
    DWORD size = 0;
    DWORD result = ERROR_INSUFFICIENT_BUFFER;
    for (int call = 0; call < kMaxTableCalls; ++call) {
        size = static_cast<DWORD>(buffer.size() * sizeof(std::uint32_t));
        result = ::GetExtendedTcpTable(buffer.empty() ? nullptr : buffer.data(), &size, FALSE,
                                       AF_INET, TCP_TABLE_OWNER_PID_ALL, 0);
        if (result != ERROR_INSUFFICIENT_BUFFER) {
            break;
        }
        const std::size_t bytes = size + kTableMarginRows * sizeof(MIB_TCPROW_OWNER_PID);
        buffer.assign((bytes + 3) / 4, 0);
    }
    if (result == ERROR_INSUFFICIENT_BUFFER) {
        return Error("the TCP table kept growing");
    }
    if (result != NO_ERROR) {
        return Error::os(result);
    }
    // `size` is what this call wrote; rows past it are not trusted, whatever the count says.
    const std::size_t written = std::min<std::size_t>(size, buffer.size() * sizeof(std::uint32_t));
    return find_listener_owners(std::as_bytes(std::span(buffer)).first(written), port, client_port);
}

Result<ServiceReport> ClientSystemCalls::service_status() {
    ServiceReport report;
    win::unique_service manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        return win::last_os_error().context("open Windows service manager");
    }
    win::unique_service service(
        ::OpenServiceW(manager.get(), names::service_wide.data(), SERVICE_QUERY_STATUS));
    if (!service) {
        Error error = win::last_os_error();
        if (error.os_code() == ERROR_SERVICE_DOES_NOT_EXIST) {
            return report;
        }
        return std::move(error).context("open " + service_name());
    }
    report.installed = true;
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!::QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                                reinterpret_cast<BYTE*>(&status), sizeof(status), &needed)) {
        return win::last_os_error().context("query " + service_name() + "'s status");
    }
    report.state = status.dwCurrentState;
    report.pid = status.dwCurrentState == SERVICE_RUNNING ? status.dwProcessId : 0;
    return report;
}

Result<std::optional<unsigned>> ClientSystemCalls::published_port() {
    DWORD port = 0;
    DWORD size = sizeof(port);
    LSTATUS status =
        RegGetValueW(HKEY_LOCAL_MACHINE, names::runtime_key_wide.data(),
                     names::port_value_wide.data(), RRF_RT_REG_DWORD, nullptr, &port, &size);
    if (status == ERROR_FILE_NOT_FOUND) {
        return std::optional<unsigned>();
    }
    if (status != ERROR_SUCCESS) {
        return Error::os(static_cast<std::uint32_t>(status))
            .context("read HKEY_LOCAL_MACHINE\\" + std::string(names::runtime_key) + "\\Port");
    }
    if (port == 0 || port > 65535) {
        return Error("the Helper published no valid port: " + std::to_string(port));
    }
    return std::optional<unsigned>(static_cast<unsigned>(port));
}

Result<ListenerOwners> ClientSystemCalls::listener_owners(unsigned port, unsigned client_port) {
    return read_listener_owners(port, client_port);
}

Result<bool> ClientSystemCalls::process_listed(std::uint32_t pid) {
    win::unique_handle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) {
        return win::last_os_error().context("take a snapshot of the processes");
    }
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more;
         more = ::Process32NextW(snapshot.get(), &entry)) {
        if (entry.th32ProcessID == pid) {
            return true;
        }
    }
    return false;
}

bool ClientSystemCalls::table_names_owner_late() {
    static const bool wine = [] {
        HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
        return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
    }();
    return wine;
}

Status ClientSystemCalls::random_bytes(std::span<unsigned char> bytes) {
    NTSTATUS status = ::BCryptGenRandom(nullptr, bytes.data(), static_cast<ULONG>(bytes.size()),
                                        BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    if (status < 0) {
        return Error("BCryptGenRandom failed with NTSTATUS " +
                     std::to_string(static_cast<std::uint32_t>(status)));
    }
    return {};
}

Result<win::unique_handle> ClientSystemCalls::open_pipe(const std::wstring& name,
                                                        std::chrono::milliseconds wait) {
    if (!::WaitNamedPipeW(name.c_str(), static_cast<DWORD>(std::max<long long>(1, wait.count())))) {
        return win::last_os_error();
    }
    // SECURITY_IDENTIFICATION: the pipe's server may learn who connected, never act as them.
    win::unique_handle pipe(
        ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                      SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
    if (!pipe) {
        return win::last_os_error();
    }
    return pipe;
}

Result<std::uint32_t> ClientSystemCalls::pipe_server_pid(HANDLE pipe) {
    ULONG pid = 0;
    DROVANE_RETURN_IF_WIN32_BOOL_FALSE(::GetNamedPipeServerProcessId(pipe, &pid));
    return static_cast<std::uint32_t>(pid);
}

HelperTransport::HelperTransport(std::shared_ptr<ClientSystemCalls> calls)
    : calls_(std::move(calls)),
      timeout_(kDefaultTimeout),
      cancel_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

void HelperTransport::set_timeout(std::chrono::milliseconds timeout) {
    timeout_ = timeout;
}

void HelperTransport::cancel() {
    if (cancel_) {
        ::SetEvent(cancel_.get());
    }
}

Call<ServiceReport> HelperTransport::query_service() {
    if (!cancel_) {
        return system_failure(Error("the handle has no cancel event"));
    }
    ::ResetEvent(cancel_.get());
    Deadline deadline(timeout_, cancel_.get());
    std::shared_ptr<ClientSystemCalls> calls = calls_;
    Call<ServiceReport> status = service_status(calls, deadline);
    if (!status) {
        return status;
    }
    ServiceReport report = *status;
    if (report.installed) {
        Call<Result<std::optional<unsigned>>> port = bounded<Result<std::optional<unsigned>>>(
            deadline, "read the Helper's port", [calls] { return calls->published_port(); });
        if (!port) {
            return port.failure();
        }
        if (*port && **port) {
            report.port = ***port;
        }
    }
    return report;
}

Call<unsigned> HelperTransport::authenticate() {
    if (!cancel_) {
        return system_failure(Error("the handle has no cancel event"));
    }
    ::ResetEvent(cancel_.get());
    Deadline deadline(timeout_, cancel_.get());
    Call<Connection> connection = connect_to_helper(calls_, deadline);
    if (!connection) {
        return connection.failure();
    }
    return connection->port;
}

Call<HttpReply> HelperTransport::exchange(std::string_view method, std::string_view target,
                                          std::string_view json_body) {
    if (!cancel_) {
        return system_failure(Error("the handle has no cancel event"));
    }
    ::ResetEvent(cancel_.get());
    Deadline deadline(timeout_, cancel_.get());
    Call<Connection> connection = connect_to_helper(calls_, deadline);
    if (!connection) {
        return connection.failure();
    }
    std::string request = format_request(method, target, connection->port, json_body);
    Call<bool> sent = send_all(*connection, deadline, request, "send the request to the Helper");
    if (!sent) {
        return sent.failure();
    }
    std::string bytes;
    char buffer[8192];
    while (true) {
        int n = ::recv(connection->socket.get(), buffer, sizeof(buffer), 0);
        if (n == 0) {
            break;
        }
        if (n == SOCKET_ERROR) {
            int code = ::WSAGetLastError();
            if (code == WSAEWOULDBLOCK) {
                Call<bool> waited = wait_socket(*connection, deadline, "read the Helper's reply");
                if (!waited) {
                    return waited.failure();
                }
                continue;
            }
            if (is_closed_by_peer(code) && !bytes.empty()) {
                break;
            }
            if (is_closed_by_peer(code)) {
                return Failure{FailureKind::not_owner, Error(kClosedUnanswered)};
            }
            return connection_failure(code, "read the Helper's reply");
        }
        bytes.append(buffer, static_cast<std::size_t>(n));
        if (bytes.size() > kMaxReplyBytes) {
            return Failure{FailureKind::bad_reply,
                           Error("a reply of more than " + std::to_string(kMaxReplyBytes) +
                                 " bytes, more than any the Helper sends")};
        }
    }
    if (bytes.empty()) {
        return Failure{FailureKind::not_owner, Error(kClosedUnanswered)};
    }
    Result<HttpReply> reply = parse_reply(bytes);
    if (!reply) {
        return Failure{FailureKind::bad_reply, std::move(reply).error()};
    }
    return std::move(reply).value();
}

Call<SessionBytes> HelperTransport::random_session_bytes() {
    SessionBytes bytes{};
    Status filled = calls_->random_bytes(bytes);
    if (!filled) {
        return system_failure(std::move(filled).error().context("read the system's random source"));
    }
    return bytes;
}

Call<OwnedPipe> HelperTransport::connect_core(std::string_view address, std::uint32_t pid,
                                              std::chrono::milliseconds timeout) {
    if (!cancel_) {
        return system_failure(Error("the handle has no cancel event"));
    }
    ::ResetEvent(cancel_.get());
    const std::wstring name(address.begin(), address.end());  // checked ASCII by the caller
    const std::string step = "connect to the Core's pipe " + std::string(address);
    const auto end = Clock::now() + timeout;
    while (true) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now());
        if (left.count() <= 0) {
            return Failure{
                FailureKind::timed_out,
                Error("no pipe within " + std::to_string(timeout.count()) + " ms").context(step)};
        }
        // The Core creates its pipe after the Helper resumed it: until then there is no such
        // pipe (2), and while another client holds its instance every instance is busy.
        Result<win::unique_handle> pipe =
            calls_->open_pipe(name, std::min(left, std::chrono::milliseconds(kPipePollMs)));
        if (pipe) {
            Result<std::uint32_t> server = calls_->pipe_server_pid(pipe->get());
            if (!server) {
                return system_failure(std::move(server)
                                          .error()
                                          .context("read the pipe's server process")
                                          .context(step));
            }
            if (*server != pid) {
                return Failure{FailureKind::not_core,
                               Error("the pipe's server is process " + std::to_string(*server) +
                                     ", not the Core the Helper started, process " +
                                     std::to_string(pid) + ": the pipe was closed")
                                   .context(step)};
            }
            HANDLE raw = pipe->release();
            return OwnedPipe(raw, [](void* handle) { ::CloseHandle(handle); });
        }
        const std::uint32_t code = pipe.error().os_code().value_or(0);
        if (code != ERROR_FILE_NOT_FOUND && code != ERROR_SEM_TIMEOUT && code != ERROR_PIPE_BUSY) {
            return system_failure(std::move(pipe).error().context(step));
        }
        if (code == ERROR_FILE_NOT_FOUND) {  // WaitNamedPipeW returns at once: pause here
            DWORD waited = ::WaitForSingleObject(cancel_.get(), kPipePollMs);
            if (waited == WAIT_OBJECT_0) {
                return Failure{FailureKind::cancelled,
                               Error("the call was cancelled").context(step)};
            }
        } else if (::WaitForSingleObject(cancel_.get(), 0) == WAIT_OBJECT_0) {
            return Failure{FailureKind::cancelled, Error("the call was cancelled").context(step)};
        }
    }
}

}  // namespace drovane::helper_client
