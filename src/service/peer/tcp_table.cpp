#include "service/peer/tcp_table.hpp"

#include <algorithm>

namespace drovane::peer {

namespace {

constexpr std::size_t kCountSize = 4;

std::uint32_t read_u32_le(std::span<const std::byte> bytes, std::size_t offset) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        value |= std::to_integer<std::uint32_t>(bytes[offset + i]) << (8 * i);
    }
    return value;
}

std::uint64_t read_u64_le(std::span<const std::byte> bytes, std::size_t offset) {
    return read_u32_le(bytes, offset) |
           (static_cast<std::uint64_t>(read_u32_le(bytes, offset + 4)) << 32);
}

// An address field holds the four bytes in network order as they are.
std::array<std::uint8_t, 4> read_address(std::span<const std::byte> bytes, std::size_t offset) {
    std::array<std::uint8_t, 4> address{};
    for (std::size_t i = 0; i < 4; ++i) {
        address[i] = std::to_integer<std::uint8_t>(bytes[offset + i]);
    }
    return address;
}

// The low 16 bits of a little-endian field are its first two bytes; they hold the port in
// network order, so the first byte is the high one.
std::uint16_t read_port(std::span<const std::byte> bytes, std::size_t offset) {
    return static_cast<std::uint16_t>((std::to_integer<unsigned>(bytes[offset]) << 8) |
                                      std::to_integer<unsigned>(bytes[offset + 1]));
}

std::uint32_t ports_key(const Ipv4Endpoint& local, const Ipv4Endpoint& remote) {
    return (static_cast<std::uint32_t>(local.port) << 16) | remote.port;
}

}  // namespace

std::size_t tcp_row_size(TcpTableForm form) {
    return form == TcpTableForm::owner_pid ? kTcpOwnerRowSize : 160;
}

std::size_t tcp_rows_offset(TcpTableForm form) {
    // The module form's rows hold a 64-bit field, which aligns the array to 8 bytes.
    return form == TcpTableForm::owner_pid ? kCountSize : 8;
}

std::vector<tcp_owner_row> copy_tcp_owner_rows(std::span<const std::byte> table,
                                               TcpTableForm form) {
    std::vector<tcp_owner_row> rows;
    const std::size_t offset = tcp_rows_offset(form);
    const std::size_t row_size = tcp_row_size(form);
    if (table.size() < offset) {
        return rows;
    }
    std::size_t count = read_u32_le(table, 0);
    std::size_t fit = (table.size() - offset) / row_size;
    if (count > fit) {
        count = fit;
    }
    rows.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        std::span<const std::byte> row = table.subspan(offset + i * row_size, row_size);
        tcp_owner_row copy;
        copy.state = read_u32_le(row, 0);
        copy.local = {read_address(row, 4), read_port(row, 8)};
        copy.remote = {read_address(row, 12), read_port(row, 16)};
        copy.owning_pid = read_u32_le(row, 20);
        if (form == TcpTableForm::owner_module) {
            copy.created = read_u64_le(row, 24);
        }
        rows.push_back(copy);
    }
    return rows;
}

TcpRowIndex::TcpRowIndex(std::span<const tcp_owner_row> rows) : rows_(rows) {
    by_ports_.reserve(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        by_ports_.emplace_back(ports_key(rows[i].local, rows[i].remote),
                               static_cast<std::uint32_t>(i));
    }
    std::sort(by_ports_.begin(), by_ports_.end());
}

const tcp_owner_row* TcpRowIndex::find(const Ipv4Endpoint& peer, const Ipv4Endpoint& local) const {
    const std::uint32_t key = ports_key(peer, local);
    // Rows of equal ports sort by row number: the first match is the first in table order.
    for (auto at = std::lower_bound(by_ports_.begin(), by_ports_.end(),
                                    std::pair<std::uint32_t, std::uint32_t>(key, 0));
         at != by_ports_.end() && at->first == key; ++at) {
        const tcp_owner_row& row = rows_[at->second];
        if (row.local == peer && row.remote == local) {
            return &row;
        }
    }
    return nullptr;
}

std::optional<std::uint32_t> find_owner_pid(std::span<const tcp_owner_row> rows,
                                            const Ipv4Endpoint& peer, const Ipv4Endpoint& local) {
    if (const tcp_owner_row* row = TcpRowIndex(rows).find(peer, local)) {
        return row->owning_pid;
    }
    return std::nullopt;
}

}  // namespace drovane::peer
