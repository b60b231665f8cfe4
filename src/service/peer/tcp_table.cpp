#include "service/peer/tcp_table.hpp"

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

}  // namespace

std::vector<tcp_owner_row> copy_tcp_owner_rows(std::span<const std::byte> table) {
    std::vector<tcp_owner_row> rows;
    if (table.size() < kCountSize) {
        return rows;
    }
    std::size_t count = read_u32_le(table, 0);
    std::size_t fit = (table.size() - kCountSize) / kTcpOwnerRowSize;
    if (count > fit) {
        count = fit;
    }
    rows.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        std::span<const std::byte> row =
            table.subspan(kCountSize + i * kTcpOwnerRowSize, kTcpOwnerRowSize);
        tcp_owner_row copy;
        // Offset 0 is the connection state, which takes no part in the search.
        copy.local = {read_address(row, 4), read_port(row, 8)};
        copy.remote = {read_address(row, 12), read_port(row, 16)};
        copy.owning_pid = read_u32_le(row, 20);
        rows.push_back(copy);
    }
    return rows;
}

std::optional<std::uint32_t> find_owner_pid(std::span<const tcp_owner_row> rows,
                                            const Ipv4Endpoint& peer, const Ipv4Endpoint& local) {
    for (const tcp_owner_row& row : rows) {
        if (row.local == peer && row.remote == local) {
            return row.owning_pid;
        }
    }
    return std::nullopt;
}

}  // namespace drovane::peer
