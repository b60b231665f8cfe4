#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <cctype>
#include <string>
#include <vector>

#include "service/hub/helper_log.hpp"
#include "service/peer/owner_check.hpp"
#include "win/process_account.hpp"

namespace drovane::peer {
namespace {

using boost::asio::ip::tcp;

Ipv4Endpoint endpoint_of(const tcp::endpoint& endpoint) {
    Ipv4Endpoint result;
    result.address = endpoint.address().to_v4().to_bytes();
    result.port = endpoint.port();
    return result;
}

// One loopback connection inside this process: the test's client socket and the accepted end.
class LoopbackConnection : public ::testing::Test {
  protected:
    void connect(bool client_sends_first) {
        if (!acceptor_.is_open()) {
            acceptor_.open(tcp::v4());
            acceptor_.bind({boost::asio::ip::address_v4::loopback(), 0});
            acceptor_.listen();
        }
        client_.connect(acceptor_.local_endpoint());
        if (client_sends_first) {
            // Wine ties the socket to its process only at the first send or receive.
            ASSERT_EQ(::send(client_.native_handle(), "", 0, 0), 0);
        }
        accepted_ = acceptor_.accept();
    }

    std::string own_sid() {
        Result<std::string> sid = process_account_sid(::GetCurrentProcessId());
        EXPECT_TRUE(sid);
        return sid ? *sid : std::string();
    }

    boost::asio::io_context io_;
    tcp::acceptor acceptor_{io_};
    tcp::socket client_{io_};
    tcp::socket accepted_{io_};
};

TEST_F(LoopbackConnection, OwnerPidIsTheClientsProcess) {
    connect(true);
    Result<std::optional<std::uint32_t>> pid = find_connection_owner_pid(
        endpoint_of(accepted_.remote_endpoint()), endpoint_of(accepted_.local_endpoint()));
    ASSERT_TRUE(pid) << pid.error().text();
    EXPECT_EQ(pid->value_or(0), ::GetCurrentProcessId());

    // Ends that belong to no connection find no row.
    Result<std::optional<std::uint32_t>> none =
        find_connection_owner_pid({{127, 0, 0, 1}, 1}, endpoint_of(accepted_.local_endpoint()));
    ASSERT_TRUE(none);
    EXPECT_FALSE(none->has_value());
}

TEST_F(LoopbackConnection, OwnersConnectionPassesWhateverTheLetterCase) {
    connect(true);
    std::string sid = own_sid();
    EXPECT_TRUE(is_owner_connection(accepted_.native_handle(), sid));
    std::string lower = sid;
    for (char& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    EXPECT_TRUE(is_owner_connection(accepted_.native_handle(), lower));
}

TEST_F(LoopbackConnection, OtherAccountsAndUnreadableEndsFail) {
    connect(true);
    EXPECT_FALSE(is_owner_connection(accepted_.native_handle(), "S-1-5-18"));
    EXPECT_FALSE(is_owner_connection(accepted_.native_handle(), own_sid() + "0"));
    EXPECT_FALSE(is_owner_connection(accepted_.native_handle(), ""));
    // A socket with no peer: getpeername fails before the table is consulted.
    tcp::socket unconnected(io_, tcp::v4());
    EXPECT_FALSE(is_owner_connection(unconnected.native_handle(), own_sid()));
}

// A process of this account that has already ended; the handle keeps its ID from being reused.
win::unique_handle ended_process() {
    wchar_t command[] = L"cmd.exe /c exit 0";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION created{};
    EXPECT_TRUE(::CreateProcessW(nullptr, command, nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                                 nullptr, nullptr, &startup, &created));
    win::unique_handle thread(created.hThread);
    win::unique_handle process(created.hProcess);
    EXPECT_EQ(::WaitForSingleObject(process.get(), 10000), static_cast<DWORD>(WAIT_OBJECT_0));
    return process;
}

TEST(OwnerEndpoint, TheTableMustNameTheOpenedProcessAgain) {
    const std::uint32_t self = ::GetCurrentProcessId();
    const std::string sid = process_account_sid(self).value();
    win::unique_handle ended = ended_process();
    const std::uint32_t ended_pid = ::GetProcessId(ended.get());
    using Read = Result<std::optional<std::uint32_t>>;
    auto found = [](std::uint32_t pid) { return Read(std::optional<std::uint32_t>(pid)); };
    const Read none = std::optional<std::uint32_t>();
    struct Case {
        const char* name;
        Read first;
        Read second;
        bool admitted;
    };
    const std::vector<Case> cases = {
        {"same process both times", found(self), found(self), true},
        {"another process on the second read", found(self), found(self + 4), false},
        {"row gone on the second read", found(self), none, false},
        {"table unreadable on the second read", found(self), Error::os(ERROR_NOT_ENOUGH_MEMORY),
         false},
        {"process already ended", found(ended_pid), found(ended_pid), false},
        {"process ID 0", found(0), found(0), false},
    };
    const Ipv4Endpoint peer{{127, 0, 0, 1}, 50000};
    const Ipv4Endpoint local{{127, 0, 0, 1}, 40000};
    for (const Case& c : cases) {
        int reads = 0;
        auto lookup = [&](const Ipv4Endpoint& p, const Ipv4Endpoint& l) {
            EXPECT_EQ(p, peer);
            EXPECT_EQ(l, local);
            return ++reads == 1 ? c.first : c.second;
        };
        EXPECT_EQ(is_owner_endpoint(peer, local, sid, lookup), c.admitted) << c.name;
    }
}

TEST_F(LoopbackConnection, RefusalClosesWithoutReplyAndLogsOnce) {
    hub::HelperLogList log(hub::kHelperLogCapacity);
    connect(true);
    refuse_connection(std::move(accepted_), log);
    char byte = 0;
    // The client sees its connection end (orderly close or reset) and no data.
    EXPECT_LE(::recv(client_.native_handle(), &byte, 1, 0), 0);

    client_.close();
    connect(true);
    refuse_connection(std::move(accepted_), log);

    const std::string line = "Helper refused a connection from an account other than its owner";
    EXPECT_EQ(log.text(), line);
}

}  // namespace
}  // namespace drovane::peer
