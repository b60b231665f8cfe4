#include "service/peer/owner_check.hpp"

#include <iphlpapi.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

#include "owner_sid.hpp"
#include "service/hub/helper_log.hpp"
#include "win/process_account.hpp"

namespace drovane::peer {

namespace {

constexpr int kMaxTableCalls = 5;

// Set by the first refusal and never cleared, so the log gets one line per process life.
std::atomic<bool> refusal_logged{false};

using EndpointReader = int(WSAAPI*)(SOCKET, sockaddr*, int*);

std::optional<Ipv4Endpoint> read_ipv4_endpoint(SOCKET socket, EndpointReader read) {
    sockaddr_storage address{};
    int length = sizeof(address);
    if (read(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        address.ss_family != AF_INET) {
        return std::nullopt;
    }
    sockaddr_in ipv4{};
    std::memcpy(&ipv4, &address, sizeof(ipv4));
    Ipv4Endpoint endpoint;
    std::memcpy(endpoint.address.data(), &ipv4.sin_addr, endpoint.address.size());
    endpoint.port = ntohs(ipv4.sin_port);
    return endpoint;
}

}  // namespace

Result<std::optional<std::uint32_t>> find_connection_owner_pid(const Ipv4Endpoint& peer,
                                                               const Ipv4Endpoint& local) {
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
        buffer.clear();
        buffer.resize((size + 3) / 4);
    }
    if (result == ERROR_INSUFFICIENT_BUFFER) {
        return Error("the TCP table kept growing");
    }
    if (result != NO_ERROR) {
        return Error::os(result);
    }
    if (buffer.empty()) {
        return std::optional<std::uint32_t>{};  // the first call found no rows at all
    }
    std::vector<tcp_owner_row> rows = copy_tcp_owner_rows(
        std::as_bytes(std::span(buffer)).first(std::min<std::size_t>(size, buffer.size() * 4)));
    buffer = {};
    return find_owner_pid(rows, peer, local);
}

bool is_owner_connection(SOCKET connection, std::string_view owner_sid) {
    // Both ends come from the accepted socket itself, not from what accept reported.
    std::optional<Ipv4Endpoint> peer = read_ipv4_endpoint(connection, ::getpeername);
    std::optional<Ipv4Endpoint> local = read_ipv4_endpoint(connection, ::getsockname);
    if (!peer || !local) {
        return false;
    }
    return is_owner_endpoint(*peer, *local, owner_sid, find_connection_owner_pid);
}

bool is_owner_endpoint(const Ipv4Endpoint& peer, const Ipv4Endpoint& local,
                       std::string_view owner_sid, const OwnerPidLookup& lookup) {
    Result<std::optional<std::uint32_t>> pid = lookup(peer, local);
    if (!pid || !pid->has_value() || **pid == 0) {
        return false;
    }
    // Held open until the verdict: while it is, the ID cannot pass to another process.
    win::unique_handle process(
        ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, **pid));
    if (!process || ::WaitForSingleObject(process.get(), 0) != WAIT_TIMEOUT) {
        return false;  // gone, or ended: its socket may be another process's by now
    }
    Result<std::string> account = process_handle_account_sid(process.get());
    if (!account || !same_account_sid(*account, owner_sid)) {
        return false;
    }
    // The ID might have been reused between the first read and the open: the same connection
    // must still belong to the process now pinned.
    Result<std::optional<std::uint32_t>> again = lookup(peer, local);
    return again && again->has_value() && **again == **pid;
}

void refuse_connection(boost::asio::ip::tcp::socket connection, hub::HelperLogList& log) {
    if (!refusal_logged.exchange(true)) {
        log.append("Helper refused a connection from an account other than its owner");
    }
    boost::system::error_code ignored;
    connection.close(ignored);
}

}  // namespace drovane::peer
