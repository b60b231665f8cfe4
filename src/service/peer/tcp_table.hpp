// The system's IPv4 TCP table with owning process IDs, read from its raw bytes, and the search
// for the client's end of one accepted connection.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace drovane::peer {

// An IPv4 endpoint: the address as its four bytes in network order, the port in host order.
struct Ipv4Endpoint {
    std::array<std::uint8_t, 4> address{};
    std::uint16_t port = 0;

    friend bool operator==(const Ipv4Endpoint&, const Ipv4Endpoint&) = default;
};

// One row of the table, copied out of the system's layout.
struct tcp_owner_row {
    std::uint32_t owning_pid = 0;
    Ipv4Endpoint local;
    Ipv4Endpoint remote;
};

// Size of one row of the TCP_TABLE_OWNER_PID_ALL form: state, local address, local port, remote
// address, remote port, owning process ID, 32 bits each.
inline constexpr std::size_t kTcpOwnerRowSize = 24;

// Copies the rows of a TCP_TABLE_OWNER_PID_ALL snapshot (a 32-bit entry count followed by the
// rows, all fields little-endian as Windows lays them out), in table order. Ports sit in the low
// 16 bits of their field in network order; the upper bits are ignored. Rows that the count
// claims but the bytes do not hold are not read.
std::vector<tcp_owner_row> copy_tcp_owner_rows(std::span<const std::byte> table);

// The owning process of the first row whose local end is the connection's peer and whose remote
// end is the connection's local end: the client's socket of this very connection. The Helper's
// own row for the connection (local end = the Helper's address) does not match.
std::optional<std::uint32_t> find_owner_pid(std::span<const tcp_owner_row> rows,
                                            const Ipv4Endpoint& peer, const Ipv4Endpoint& local);

}  // namespace drovane::peer
