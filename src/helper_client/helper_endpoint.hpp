// The Windows side of reaching the Helper: the service's status and process from the Service
// Control Manager, the port it publishes in the registry, and one HTTP exchange on a new loopback
// connection whose listening end is first proven to be that process. Every step runs under the
// call's deadline and can be cancelled from another thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "error.hpp"
#include "helper_client/handle_transport.hpp"
#include "helper_client/helper_calls.hpp"
#include "win/handles.hpp"

namespace drovane::helper_client {

// Who owns the Helper's end of one loopback connection to `port`, from the system's TCP table:
// the row whose local end is 127.0.0.1:port and whose remote end is the client's end (the one
// that decides), and the listening row of 127.0.0.1:port. Zero where the table
// names no process; absent where there is no such row.
struct ListenerOwners {
    std::optional<std::uint32_t> connection;
    std::optional<std::uint32_t> listener;
};

// The owners in one GetExtendedTcpTable(TCP_TABLE_OWNER_PID_ALL) answer of `bytes` bytes: the
// row count is capped to the rows that lie wholly within them.
ListenerOwners find_listener_owners(std::span<const std::byte> table, unsigned port,
                                    unsigned client_port);

// The Windows calls the library makes, each one a standard (unelevated) user may make: none opens
// a process. Tests put in a fake that answers as Windows answers such a user. The calls run on
// worker threads that the deadline may abandon, so an implementation keeps no reference to its
// caller's state.
class ClientSystemCalls {
  public:
    virtual ~ClientSystemCalls() = default;
    // OpenSCManagerW(SC_MANAGER_CONNECT), OpenServiceW(SERVICE_QUERY_STATUS),
    // QueryServiceStatusEx: the service's state and process; not installed is a value.
    virtual Result<ServiceReport> service_status();
    // RegGetValueW of the Runtime key's Port (KEY_QUERY_VALUE); no value when none is published.
    virtual Result<std::optional<unsigned>> published_port();
    // GetExtendedTcpTable(AF_INET, TCP_TABLE_OWNER_PID_ALL).
    virtual Result<ListenerOwners> listener_owners(unsigned port, unsigned client_port);
    // CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS): whether a process of that ID exists.
    virtual Result<bool> process_listed(std::uint32_t pid);
    // BCryptGenRandom(BCRYPT_USE_SYSTEM_PREFERRED_RNG).
    virtual Status random_bytes(std::span<unsigned char> bytes);
    // WaitNamedPipeW(name, wait), then CreateFileW of the pipe for reading and writing, allowing
    // its server to identify this process but not to act as it. The OS error when there is no
    // such pipe yet (2) or every instance stays busy (121, 231).
    virtual Result<win::unique_handle> open_pipe(const std::wstring& name,
                                                 std::chrono::milliseconds wait);
    // GetNamedPipeServerProcessId.
    virtual Result<std::uint32_t> pipe_server_pid(HANDLE pipe);
    // Whether the TCP table names a socket's process only once that process has moved data
    // through it, as Wine's does (Windows names it from the socket's creation).
    virtual bool table_names_owner_late();
};

// The real calls, for tools that read the table or the service without a transport.
Result<ListenerOwners> read_listener_owners(unsigned port, unsigned client_port);

// Each exchange reads the service's status and port, connects, and sends the request only once
// the connection's Helper end is proven to be the service's process (a zero-byte send comes
// first: it carries nothing, see read_owners). Keeps nothing between calls but its timeout; one
// instance serves one thread at a time, and cancel() may come from any thread.
class HelperTransport final : public HandleTransport {
  public:
    explicit HelperTransport(
        std::shared_ptr<ClientSystemCalls> calls = std::make_shared<ClientSystemCalls>());

    Call<HttpReply> exchange(std::string_view method, std::string_view target,
                             std::string_view json_body) override;
    // The same steps without a request: connects, proves the listener, closes. Gives the port.
    Call<unsigned> authenticate() override;
    Call<ServiceReport> query_service() override;
    void set_timeout(std::chrono::milliseconds timeout) override;
    void cancel() override;
    Call<SessionBytes> random_session_bytes() override;
    Call<OwnedPipe> connect_core(std::string_view address, std::uint32_t pid,
                                 std::chrono::milliseconds timeout) override;

  private:
    std::shared_ptr<ClientSystemCalls> calls_;
    std::chrono::milliseconds timeout_;
    win::unique_handle cancel_;  // manual reset; reset when a call begins
};

}  // namespace drovane::helper_client
