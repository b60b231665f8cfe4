// The system's IPv4 TCP table with owning process IDs, read from its raw bytes, and the search
// for the client's end of one accepted connection.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
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
    std::uint32_t state = 0;  // MIB_TCP_STATE (11 is TIME_WAIT)
    // When the row's socket was created, in 100 ns units since 1601 as GetProcessTimes counts;
    // 0 where the table gives no time (the owner-PID form, and Wine in every form).
    std::uint64_t created = 0;
};

// The two layouts of the IPv4 table that name an owning process.
enum class TcpTableForm {
    // TCP_TABLE_OWNER_PID_ALL: a 32-bit count, then rows of state, local address, local port,
    // remote address, remote port and owning process ID, 32 bits each.
    owner_pid,
    // TCP_TABLE_OWNER_MODULE_ALL: a 32-bit count padded to 8 bytes, then rows of the same six
    // fields, the socket's 64-bit creation time and the owning module's 128 bytes.
    owner_module,
};

// Size of one row of the owner-PID form.
inline constexpr std::size_t kTcpOwnerRowSize = 24;

// The size of one row, and the offset of the first, in each form.
std::size_t tcp_row_size(TcpTableForm form);
std::size_t tcp_rows_offset(TcpTableForm form);

// Copies the rows of a snapshot (the entry count followed by the rows, all fields little-endian
// as Windows lays them out), in table order. Ports sit in the low 16 bits of their field in
// network order; the upper bits are ignored. Rows that the count claims but the bytes do not
// hold are not read.
std::vector<tcp_owner_row> copy_tcp_owner_rows(std::span<const std::byte> table,
                                               TcpTableForm form = TcpTableForm::owner_pid);

// The rows of one snapshot indexed once by their ports, so that each connection of a batch is
// found without a scan of the whole table. The rows must outlive the index.
class TcpRowIndex {
  public:
    explicit TcpRowIndex(std::span<const tcp_owner_row> rows);

    // The first row, in table order, whose local end is the connection's peer and whose remote
    // end is the connection's local end: the client's socket of this very connection. The
    // Helper's own row for the connection (local end = the Helper's address) does not match.
    const tcp_owner_row* find(const Ipv4Endpoint& peer, const Ipv4Endpoint& local) const;

  private:
    std::span<const tcp_owner_row> rows_;
    // (local port << 16 | remote port, row number), sorted.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> by_ports_;
};

// The owning process of the client's end of the connection, as TcpRowIndex::find finds it.
std::optional<std::uint32_t> find_owner_pid(std::span<const tcp_owner_row> rows,
                                            const Ipv4Endpoint& peer, const Ipv4Endpoint& local);

}  // namespace drovane::peer
