#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "service/peer/tcp_table.hpp"

namespace drovane::peer {
namespace {

// Builds the raw bytes of a snapshot in either form as Windows lays them out.
class TableBytes {
  public:
    explicit TableBytes(TcpTableForm form = TcpTableForm::owner_pid) : form_(form) {}

    TableBytes& row(std::uint32_t state, Ipv4Endpoint local, Ipv4Endpoint remote, std::uint32_t pid,
                    std::uint16_t port_high_bits = 0, std::uint64_t created = 0) {
        put_u32(state);
        put_address(local);
        put_port(local.port, port_high_bits);
        put_address(remote);
        put_port(remote.port, port_high_bits);
        put_u32(pid);
        if (form_ == TcpTableForm::owner_module) {
            put_u32(static_cast<std::uint32_t>(created));
            put_u32(static_cast<std::uint32_t>(created >> 32));
            rows_.insert(rows_.end(), 128, std::byte{0xAB});  // the owning module
        }
        ++count_;
        return *this;
    }
    // The bytes with the entry count in front; `claimed` overrides the true count.
    std::vector<std::byte> bytes(std::optional<std::uint32_t> claimed = std::nullopt) const {
        std::vector<std::byte> out;
        std::uint32_t count = claimed.value_or(count_);
        for (int i = 0; i < 4; ++i) {
            out.push_back(std::byte((count >> (8 * i)) & 0xFF));
        }
        out.resize(tcp_rows_offset(form_));
        out.insert(out.end(), rows_.begin(), rows_.end());
        return out;
    }

  private:
    void put_u32(std::uint32_t value) {
        for (int i = 0; i < 4; ++i) {
            rows_.push_back(std::byte((value >> (8 * i)) & 0xFF));
        }
    }
    void put_address(const Ipv4Endpoint& endpoint) {
        for (std::uint8_t b : endpoint.address) {
            rows_.push_back(std::byte(b));
        }
    }
    // Network order in the low 16 bits of a little-endian field, junk allowed above.
    void put_port(std::uint16_t port, std::uint16_t high_bits) {
        rows_.push_back(std::byte(port >> 8));
        rows_.push_back(std::byte(port & 0xFF));
        rows_.push_back(std::byte(high_bits & 0xFF));
        rows_.push_back(std::byte(high_bits >> 8));
    }

    TcpTableForm form_;
    std::vector<std::byte> rows_;
    std::uint32_t count_ = 0;
};

constexpr std::array<std::uint8_t, 4> kLoopback{127, 0, 0, 1};
constexpr std::uint32_t kEstablished = 5;
constexpr std::uint32_t kListen = 2;

const Ipv4Endpoint kHelper{kLoopback, 49730};  // the connection's local end
const Ipv4Endpoint kClient{kLoopback, 50112};  // the connection's peer

TEST(TcpTable, RowsAreCopiedInOrderWithHostOrderPorts) {
    TableBytes table;
    table.row(kListen, {kLoopback, 0x1234}, {{0, 0, 0, 0}, 0}, 0x01020304, 0xBEEF)
        .row(kEstablished, {{192, 168, 1, 20}, 443}, {{10, 0, 0, 7}, 65535}, 4242);
    std::vector<std::byte> bytes = table.bytes();
    std::vector<tcp_owner_row> rows = copy_tcp_owner_rows(bytes);

    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].owning_pid, 0x01020304u);
    EXPECT_EQ(rows[0].local, (Ipv4Endpoint{kLoopback, 0x1234}));  // upper bits ignored
    EXPECT_EQ(rows[0].remote, (Ipv4Endpoint{{0, 0, 0, 0}, 0}));
    EXPECT_EQ(rows[1].owning_pid, 4242u);
    EXPECT_EQ(rows[1].local, (Ipv4Endpoint{{192, 168, 1, 20}, 443}));
    EXPECT_EQ(rows[1].remote, (Ipv4Endpoint{{10, 0, 0, 7}, 65535}));
}

TEST(TcpTable, TheModuleFormAddsTheSocketsCreationTime) {
    TableBytes table(TcpTableForm::owner_module);
    table.row(kListen, {kLoopback, 0x1234}, {{0, 0, 0, 0}, 0}, 0x01020304, 0xBEEF, 0)
        .row(kEstablished, kClient, kHelper, 4242, 0, 0x01DB'0A0B'0C0D'0E0FULL);
    std::vector<std::byte> bytes = table.bytes();
    ASSERT_EQ(bytes.size(), 8u + 2 * 160u);
    std::vector<tcp_owner_row> rows = copy_tcp_owner_rows(bytes, TcpTableForm::owner_module);

    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].state, kListen);
    EXPECT_EQ(rows[0].local, (Ipv4Endpoint{kLoopback, 0x1234}));
    EXPECT_EQ(rows[0].owning_pid, 0x01020304u);
    EXPECT_EQ(rows[0].created, 0u);
    EXPECT_EQ(rows[1].state, kEstablished);
    EXPECT_EQ(rows[1].local, kClient);
    EXPECT_EQ(rows[1].remote, kHelper);
    EXPECT_EQ(rows[1].owning_pid, 4242u);
    EXPECT_EQ(rows[1].created, 0x01DB'0A0B'0C0D'0E0FULL);
    // A count beyond the bytes reads only the whole rows present.
    bytes.resize(bytes.size() - 1);
    EXPECT_EQ(copy_tcp_owner_rows(bytes, TcpTableForm::owner_module).size(), 1u);
}

TEST(TcpTable, ShortOrEmptyTablesYieldOnlyTheRowsPresent) {
    EXPECT_TRUE(copy_tcp_owner_rows({}).empty());
    EXPECT_TRUE(copy_tcp_owner_rows(TableBytes().bytes()).empty());

    TableBytes one;
    one.row(kEstablished, kClient, kHelper, 7);
    // A count larger than the bytes hold reads only whole rows that are there.
    std::vector<std::byte> overclaimed = one.bytes(1000);
    EXPECT_EQ(copy_tcp_owner_rows(overclaimed).size(), 1u);
    overclaimed.pop_back();
    EXPECT_TRUE(copy_tcp_owner_rows(overclaimed).empty());
    // A count below the rows present reads only that many.
    TableBytes two;
    two.row(kEstablished, kClient, kHelper, 7).row(kEstablished, kHelper, kClient, 8);
    EXPECT_EQ(copy_tcp_owner_rows(two.bytes(1)).size(), 1u);
}

TEST(TcpTable, TheClientsRowMatchesNotTheHelpersOwn) {
    constexpr std::uint32_t kHelperPid = 100;
    constexpr std::uint32_t kClientPid = 200;
    // Loopback connections appear twice: once for each end. The Helper's row comes first here,
    // so a search that swapped the ends would find the Helper itself.
    TableBytes table;
    table.row(kListen, {kLoopback, kHelper.port}, {{0, 0, 0, 0}, 0}, kHelperPid)
        .row(kEstablished, kHelper, kClient, kHelperPid)
        .row(kEstablished, kClient, kHelper, kClientPid)
        .row(kEstablished, kClient, kHelper, 999);  // a later duplicate does not decide
    std::vector<std::byte> bytes = table.bytes();
    std::vector<tcp_owner_row> rows = copy_tcp_owner_rows(bytes);

    EXPECT_EQ(find_owner_pid(rows, kClient, kHelper), kClientPid);
    // Seen from the client's side the same rows give the Helper.
    EXPECT_EQ(find_owner_pid(rows, kHelper, kClient), kHelperPid);
}

TEST(TcpTable, EveryFieldOfBothEndsMustMatch) {
    const Ipv4Endpoint other_port{kLoopback, static_cast<std::uint16_t>(kClient.port + 1)};
    const Ipv4Endpoint other_address{{127, 0, 0, 2}, kClient.port};
    const Ipv4Endpoint helper_other_port{kLoopback, static_cast<std::uint16_t>(kHelper.port + 1)};
    const Ipv4Endpoint helper_other_address{{127, 0, 0, 2}, kHelper.port};
    // A port written in host order instead of network order must not match either.
    const Ipv4Endpoint byte_swapped{
        kLoopback, static_cast<std::uint16_t>((kClient.port >> 8) | (kClient.port << 8))};
    TableBytes table;
    table.row(kEstablished, other_port, kHelper, 1)
        .row(kEstablished, other_address, kHelper, 2)
        .row(kEstablished, kClient, helper_other_port, 3)
        .row(kEstablished, kClient, helper_other_address, 4)
        .row(kEstablished, byte_swapped, kHelper, 5);
    std::vector<std::byte> bytes = table.bytes();
    std::vector<tcp_owner_row> rows = copy_tcp_owner_rows(bytes);

    EXPECT_EQ(find_owner_pid(rows, kClient, kHelper), std::nullopt);
    EXPECT_EQ(find_owner_pid({}, kClient, kHelper), std::nullopt);
}

TEST(TcpTable, RowsOfAnyStateTakePartAndPidZeroIsReturnedAsIs) {
    TableBytes table;
    table.row(11 /* TIME_WAIT */, kClient, kHelper, 0);
    std::vector<std::byte> bytes = table.bytes();
    EXPECT_EQ(find_owner_pid(copy_tcp_owner_rows(bytes), kClient, kHelper), 0u);
}

}  // namespace
}  // namespace drovane::peer
