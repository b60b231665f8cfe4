// The connection owner check: the process at the far end of an accepted loopback connection,
// found in the system's TCP table, must run under the owner's account.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include "error.hpp"
#include "service/hub/helper_log.hpp"
#include "service/peer/tcp_table.hpp"
#include "win/handles.hpp"

namespace drovane::peer {

// The owning process of the client's end of the connection between `peer` and `local`, from one
// fresh snapshot of the IPv4 TCP table; none when no row matches. At most five table calls; a
// table that outgrows every buffer fails with "the TCP table kept growing".
Result<std::optional<std::uint32_t>> find_connection_owner_pid(const Ipv4Endpoint& peer,
                                                               const Ipv4Endpoint& local);

// Finds the owning process of the client's end of a connection; find_connection_owner_pid in the
// product, a fed table in tests.
using OwnerPidLookup = std::function<Result<std::optional<std::uint32_t>>(
    const Ipv4Endpoint& peer, const Ipv4Endpoint& local)>;

// Whether the client process of the connection between `peer` and `local` runs under
// `owner_sid`. The process is opened before its account is read, which keeps its ID from being
// reused; the table is then read again and must still name that same ID, so a process that
// ended before it was opened (its ID given to another process meanwhile) cannot pass. A process
// that has already ended is refused.
bool is_owner_endpoint(const Ipv4Endpoint& peer, const Ipv4Endpoint& local,
                       std::string_view owner_sid, const OwnerPidLookup& lookup);

// Whether the client process of the accepted socket runs under `owner_sid`. Reads nothing from
// the connection; every failure on the way counts as false and is not reported.
bool is_owner_connection(SOCKET connection, std::string_view owner_sid);

// Closes a connection that failed the check, without reading or writing; the first refusal in
// the life of the process writes one line to `log`.
void refuse_connection(boost::asio::ip::tcp::socket connection,
                       hub::HelperLogList& log = hub::process_helper_log());

}  // namespace drovane::peer
