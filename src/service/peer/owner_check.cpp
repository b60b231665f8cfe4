#include "service/peer/owner_check.hpp"

#include <iphlpapi.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <numeric>
#include <string>
#include <thread>

#include "owner_sid.hpp"
#include "service/hub/helper_log.hpp"
#include "win/process_account.hpp"

namespace drovane::peer {

namespace {

constexpr int kMaxTableCalls = 5;
// The margin added to every buffer: a quarter of the reported size, and never less than this
// many rows. Connections come and go between two calls; the margin absorbs that.
constexpr std::size_t kMinimumSlackRows = 256;

// Set by the first refusal of each kind and never cleared, so the log gets one line per kind
// per process life: another account, then each confinement of the owner's own processes.
std::atomic<bool> other_account_logged{false};
std::array<std::atomic<bool>, 3> sandbox_logged{};

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

// The size in bytes that the last read of the system's table needed.
std::atomic<DWORD> system_table_size{0};

DWORD system_table_call(void* buffer, DWORD* size) {
    return ::GetExtendedTcpTable(buffer, size, FALSE, AF_INET, TCP_TABLE_OWNER_MODULE_ALL, 0);
}

// When the process was created, in the units of a row's socket creation time; none when it
// cannot be read.
std::optional<std::uint64_t> process_creation_time(HANDLE process) {
    FILETIME created{};
    FILETIME exited{};
    FILETIME kernel{};
    FILETIME user{};
    if (!::GetProcessTimes(process, &created, &exited, &kernel, &user)) {
        return std::nullopt;
    }
    return (static_cast<std::uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

// A process of the owner's account found for one connection, held open until the verdict.
struct HeldProcess {
    std::size_t index;
    std::uint32_t pid;
    win::unique_handle process;
};

}  // namespace

std::optional<ConnectionEnds> read_connection_ends(SOCKET connection) {
    std::optional<Ipv4Endpoint> peer = read_ipv4_endpoint(connection, ::getpeername);
    std::optional<Ipv4Endpoint> local = read_ipv4_endpoint(connection, ::getsockname);
    if (!peer || !local) {
        return std::nullopt;
    }
    return ConnectionEnds{*peer, *local};
}

Result<std::vector<tcp_owner_row>> read_tcp_owner_table(const TcpTableCall& call, DWORD& size_hint,
                                                        TcpTableForm form) {
    // The module form holds 64-bit fields: the buffer is whole 64-bit units of the size asked
    // for plus the margin.
    std::vector<std::uint64_t> buffer;
    auto allocate = [&buffer, form](DWORD needed) {
        const std::size_t slack =
            std::max<std::size_t>(needed / 4, kMinimumSlackRows * tcp_row_size(form));
        buffer.clear();
        buffer.resize((needed + slack + 7) / 8);
        return static_cast<DWORD>(buffer.size() * 8);
    };
    // Under Wine a call that only asks for the size costs as much as one that fills the table,
    // so a read starts from the size the previous one needed; only the first passes no buffer.
    DWORD size = size_hint == 0 ? 0 : allocate(size_hint);
    DWORD result = ERROR_INSUFFICIENT_BUFFER;
    for (int attempt = 0; attempt < kMaxTableCalls; ++attempt) {
        result = call(buffer.empty() ? nullptr : buffer.data(), &size);
        if (result != ERROR_INSUFFICIENT_BUFFER) {
            break;
        }
        size_hint = size;
        size = allocate(size);
    }
    if (result == ERROR_INSUFFICIENT_BUFFER) {
        return Error("the TCP table kept growing");
    }
    if (result != NO_ERROR) {
        return Error::os(result);
    }
    // The entry count bounds the rows read; the slack past them is never looked at.
    std::vector<tcp_owner_row> rows = copy_tcp_owner_rows(std::as_bytes(std::span(buffer)), form);
    size_hint = static_cast<DWORD>(tcp_rows_offset(form) + rows.size() * tcp_row_size(form));
    return rows;
}

Result<std::vector<tcp_owner_row>> read_tcp_owner_table() {
    // Reads run one at a time in the product (the accept loop's task); the hint is atomic only so
    // that other callers stay sound, and a lost update costs at most one call.
    DWORD hint = system_table_size.load(std::memory_order_relaxed);
    Result<std::vector<tcp_owner_row>> rows =
        read_tcp_owner_table(system_table_call, hint, TcpTableForm::owner_module);
    system_table_size.store(hint, std::memory_order_relaxed);
    return rows;
}

Result<std::optional<std::uint32_t>> find_connection_owner_pid(const Ipv4Endpoint& peer,
                                                               const Ipv4Endpoint& local) {
    Result<std::vector<tcp_owner_row>> rows = read_tcp_owner_table();
    if (!rows) {
        return std::move(rows).error();
    }
    return find_owner_pid(*rows, peer, local);
}

std::vector<Verdict> judge_connections(std::span<const std::optional<ConnectionEnds>> connections,
                                       std::string_view owner_sid, const TcpTableReader& read_table,
                                       const TokenFactsReader& read_facts) {
    std::vector<Verdict> verdicts(connections.size(), kOtherAccount);
    if (std::none_of(connections.begin(), connections.end(),
                     [](const auto& ends) { return ends.has_value(); })) {
        return verdicts;  // no end could be read: the table is not consulted
    }
    // The client's row of each connection, when the table has one.
    std::vector<std::optional<tcp_owner_row>> found(connections.size());
    auto look_up = [&](const std::vector<tcp_owner_row>& rows, bool only_unnamed) {
        const TcpRowIndex index(rows);
        for (std::size_t i = 0; i < connections.size(); ++i) {
            if (!connections[i] || (only_unnamed && (!found[i] || found[i]->owning_pid != 0))) {
                continue;
            }
            const tcp_owner_row* row = index.find(connections[i]->peer, connections[i]->local);
            found[i] = row ? std::optional(*row) : std::nullopt;
        }
    };
    {
        Result<std::vector<tcp_owner_row>> rows = read_table();
        if (!rows) {
            return verdicts;
        }
        look_up(*rows, false);
    }
    // A row that names no process may not name it yet: read those again, within a short bound.
    // Where one read is slow (under Wine, a large table), the bound allows fewer reads.
    const auto first_read = std::chrono::steady_clock::now();
    const std::chrono::milliseconds bound =
        std::accumulate(kUnnamedRowRereadDelays.begin(), kUnnamedRowRereadDelays.end(),
                        std::chrono::milliseconds(0));
    for (std::chrono::milliseconds delay : kUnnamedRowRereadDelays) {
        if (std::none_of(found.begin(), found.end(),
                         [](const auto& row) { return row && row->owning_pid == 0; }) ||
            std::chrono::steady_clock::now() - first_read >= bound) {
            break;
        }
        std::this_thread::sleep_for(delay);
        Result<std::vector<tcp_owner_row>> rows = read_table();
        if (!rows) {
            break;
        }
        look_up(*rows, true);
    }

    std::vector<HeldProcess> held;
    for (std::size_t i = 0; i < connections.size(); ++i) {
        if (!found[i] || found[i]->owning_pid == 0) {
            continue;
        }
        const std::uint32_t pid = found[i]->owning_pid;
        win::unique_handle process(
            ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, pid));
        if (!process || ::WaitForSingleObject(process.get(), 0) != WAIT_TIMEOUT) {
            continue;  // gone, or ended: its socket may be another process's by now
        }
        // The table names the process that created the socket. One created after the socket
        // holds a reused ID (the creator handed its socket on and ended) and is not its creator.
        if (found[i]->created != 0) {
            std::optional<std::uint64_t> created = process_creation_time(process.get());
            if (!created || *created > found[i]->created) {
                continue;
            }
        }
        Result<std::string> account = process_handle_account_sid(process.get());
        if (!account || !same_account_sid(*account, owner_sid)) {
            continue;
        }
        Result<TokenFacts> facts = read_facts(process.get());
        if (!facts) {
            continue;
        }
        if (std::optional<SandboxReason> reason = sandbox_reason(*facts)) {
            verdicts[i] = sandboxed(*reason);
            continue;
        }
        held.push_back({i, pid, std::move(process)});
    }
    if (held.empty()) {
        return verdicts;
    }
    // An ID might have been reused between the read and the open: the same connection must
    // still belong to the process now held.
    Result<std::vector<tcp_owner_row>> again = read_table();
    if (!again) {
        return verdicts;
    }
    const TcpRowIndex index(*again);
    for (const HeldProcess& candidate : held) {
        const ConnectionEnds& ends = *connections[candidate.index];
        const tcp_owner_row* row = index.find(ends.peer, ends.local);
        if (row && row->owning_pid == candidate.pid) {
            verdicts[candidate.index] = kAdmitted;
        }
    }
    return verdicts;
}

Verdict judge_connection(SOCKET connection, std::string_view owner_sid) {
    const std::optional<ConnectionEnds> ends[] = {read_connection_ends(connection)};
    const TcpTableReader system_table = [] { return read_tcp_owner_table(); };
    return judge_connections(ends, owner_sid, system_table).front();
}

void refuse_connection(boost::asio::ip::tcp::socket connection, const Verdict& verdict,
                       hub::HelperLogList& log) {
    if (!verdict.sandboxed) {
        if (!other_account_logged.exchange(true)) {
            log.append("Helper refused a connection from an account other than its owner");
        }
    } else if (!sandbox_logged[static_cast<std::size_t>(*verdict.sandboxed)].exchange(true)) {
        log.append(
            "Helper refused a connection from its owner's account: the client process is "
            "sandboxed (" +
            std::string(sandbox_reason_text(*verdict.sandboxed)) + ")");
    }
    close_abortively(connection);
}

void close_abortively(boost::asio::ip::tcp::socket& connection) {
    boost::system::error_code ignored;
    connection.set_option(boost::asio::socket_base::linger(true, 0), ignored);
    connection.close(ignored);
}

}  // namespace drovane::peer
