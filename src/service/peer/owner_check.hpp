// The connection owner check: the process at the far end of an accepted loopback connection,
// found in the system's TCP table, must run under the owner's account, and its token must not be
// a confined one (token_gate.hpp).
#pragma once

#include <array>
#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "service/hub/helper_log.hpp"
#include "service/peer/tcp_table.hpp"
#include "service/peer/token_gate.hpp"
#include "win/handles.hpp"

namespace drovane::peer {

// The owner check's answer for one connection: admitted, or refused; a refused connection of the
// owner's own account says which confinement refused it.
struct Verdict {
    bool admitted = false;
    std::optional<SandboxReason> sandboxed;

    friend bool operator==(const Verdict&, const Verdict&) = default;
};
inline constexpr Verdict kAdmitted{true, std::nullopt};
inline constexpr Verdict kOtherAccount{false, std::nullopt};
inline constexpr Verdict sandboxed(SandboxReason reason) {
    return {false, reason};
}

// The ends of an accepted connection, read from the socket itself (getpeername, getsockname);
// none when either cannot be read or is not IPv4.
struct ConnectionEnds {
    Ipv4Endpoint peer;   // the client's end
    Ipv4Endpoint local;  // the Helper's end
};
std::optional<ConnectionEnds> read_connection_ends(SOCKET connection);

// One GetExtendedTcpTable(AF_INET) call in the reader's form: fills `buffer` (null on the first
// call) of `*size` bytes, or answers ERROR_INSUFFICIENT_BUFFER with the size it needs.
using TcpTableCall = std::function<DWORD(void* buffer, DWORD* size)>;

// One snapshot of the IPv4 TCP table in `form`, through at most five calls. Each buffer is the
// size last reported plus a margin (a quarter more, at least 256 rows), so that a table growing
// by less than that between two calls still fits the second one. `size_hint` is the size in
// bytes the previous read needed, 0 for none: the first call then already has a buffer (of that
// size plus the margin), and a table that changed by less than the margin since is read in one
// call. On return it holds the size this read found. A table that outgrows every buffer fails
// with "the TCP table kept growing".
Result<std::vector<tcp_owner_row>> read_tcp_owner_table(
    const TcpTableCall& call, DWORD& size_hint, TcpTableForm form = TcpTableForm::owner_pid);
// The system's table in the module form (TCP_TABLE_OWNER_MODULE_ALL, which adds each socket's
// creation time), with the hint kept from the previous read. The one reader of the system's
// table.
Result<std::vector<tcp_owner_row>> read_tcp_owner_table();

// Takes one snapshot; read_tcp_owner_table in the product, a fed table in tests.
using TcpTableReader = std::function<Result<std::vector<tcp_owner_row>>()>;

// The owning process of the client's end of the connection between `peer` and `local`, from one
// fresh snapshot; none when no row matches.
Result<std::optional<std::uint32_t>> find_connection_owner_pid(const Ipv4Endpoint& peer,
                                                               const Ipv4Endpoint& local);

// The waits before each further read of the table while a connection's row names process 0.
// Wine names a socket's process only once that process has sent or received on it, so a client
// judged between its connect and its first send is unnamed for a moment. No further read starts
// once their sum (200 ms) has passed since the first read, so slow reads make fewer of them.
inline constexpr std::array<std::chrono::milliseconds, 4> kUnnamedRowRereadDelays{
    std::chrono::milliseconds(20), std::chrono::milliseconds(40), std::chrono::milliseconds(60),
    std::chrono::milliseconds(80)};

// Judges connections accepted together, all against one snapshot taken by `read_table` here,
// after the last of them was accepted, and indexed once by the connections' ports: a flood of
// connections then costs one table read per batch, not one per connection. While a row names
// process 0, the table is read again after each of kUnnamedRowRereadDelays, within their sum; a
// row still unnamed after the last refuses its connection. For each connection whose row names a
// process, the process is opened and held until the verdict (so its ID cannot pass to another
// process), must still be running, must not have been created after the row's socket (where the
// table gives the socket's creation time), must run under `owner_sid` and must pass the token gate.
// The table is then read once more and must still name each held process for its connection; a
// process that ended before it was opened, its ID reused meanwhile, cannot pass. Anything that
// cannot be read refuses the connection, as another account's; one verdict per entry, in order.
// Blocks for the table reads and the waits between them: runs off the accepting strand.
std::vector<Verdict> judge_connections(std::span<const std::optional<ConnectionEnds>> connections,
                                       std::string_view owner_sid, const TcpTableReader& read_table,
                                       const TokenFactsReader& read_facts = read_token_facts);

// The verdict on one accepted socket, against the system's table. Reads nothing from it.
Verdict judge_connection(SOCKET connection, std::string_view owner_sid);

// Closes a connection with a reset (linger 0), so that it leaves no TIME_WAIT row behind for
// every later table read to walk. Nothing is read or written.
void close_abortively(boost::asio::ip::tcp::socket& connection);

// Closes a refused connection abortively, without reading or writing. The first refusal of each
// kind in the life of the process (another account; the owner's account in each kind of
// confinement) writes one line naming it to `log`.
void refuse_connection(boost::asio::ip::tcp::socket connection, const Verdict& verdict,
                       hub::HelperLogList& log = hub::process_helper_log());

}  // namespace drovane::peer
