#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "service/hub/helper_log.hpp"
#include "service/peer/accept_loop.hpp"
#include "service/peer/owner_check.hpp"
#include "win/process_account.hpp"

namespace drovane::peer {
namespace {

using namespace std::chrono_literals;
using boost::asio::ip::tcp;

std::size_t count_lines_starting(const std::string& log, const std::string& prefix) {
    std::size_t count = 0;
    for (std::size_t at = log.find(prefix); at != std::string::npos;
         at = log.find(prefix, at + 1)) {
        if (at == 0 || log[at - 1] == '\n') {
            ++count;
        }
    }
    return count;
}

Ipv4Endpoint endpoint_of(const tcp::endpoint& endpoint) {
    return {endpoint.address().to_v4().to_bytes(), endpoint.port()};
}

// Opens the listener on a port of 127.0.0.1 that the system picks.
void listen_on_loopback(Listener& listener) {
    listener.acceptor.open(tcp::v4());
    listener.acceptor.bind({boost::asio::ip::address_v4::loopback(), 0});
    listener.acceptor.listen();
}

// Runs the accept loop on `io` and records the client end of every connection it hands back.
void serve_into(std::vector<tcp::endpoint>& served, boost::asio::io_context& io, Listener& listener,
                const std::string& owner, hub::HelperLogList& log) {
    boost::asio::co_spawn(
        io,
        [&]() -> boost::asio::awaitable<void> {
            while (auto connection =
                       co_await accept_owner_connection(listener, owner, io.get_executor(), log)) {
                served.push_back(connection->remote_endpoint());
            }
        },
        boost::asio::detached);
}

TEST(AcceptLoop, FailedAcceptIsLoggedAndClosingTheListenerEndsItsPause) {
    hub::HelperLogList log(hub::kHelperLogCapacity);
    boost::asio::io_context io;
    Listener listener(io.get_executor());
    listen_on_loopback(listener);

    bool ended = false;
    bool got_connection = true;
    boost::asio::co_spawn(
        io,
        [&]() -> boost::asio::awaitable<void> {
            auto connection =
                co_await accept_owner_connection(listener, "S-1-5-18", io.get_executor(), log);
            got_connection = connection.has_value();
            ended = true;
        },
        boost::asio::detached);

    const std::string prefix = "Helper could not accept a connection: ";
    io.run_for(100ms);
    // The socket goes away underneath the listener, which still counts as open: the pending
    // accept fails. (A second attempt on the vanished socket does not fail under Wine; it stays
    // pending, so the retry itself is not shown here.)
    ::closesocket(listener.acceptor.native_handle());
    io.run_for(300ms);
    const std::string text = log.text();
    EXPECT_EQ(count_lines_starting(text, prefix), 1u) << text;
    EXPECT_NE(text.find(" (os error "), std::string::npos) << text;
    EXPECT_FALSE(ended);  // pausing

    // Closed in the middle of the pause: the loop ends at once, with no connection.
    auto closed_at = std::chrono::steady_clock::now();
    listener.close();
    io.run_for(2s);
    EXPECT_TRUE(ended);
    EXPECT_FALSE(got_connection);
    EXPECT_LT(std::chrono::steady_clock::now() - closed_at, 500ms);
}

TEST(AcceptLoop, AfterAFailedAcceptAndItsPauseTheNextConnectionsAreServed) {
    hub::HelperLogList log(hub::kHelperLogCapacity);
    boost::asio::io_context io;
    Listener listener(io.get_executor());
    listen_on_loopback(listener);
    int accepts = 0;
    listener.inspect_accept_for_testing = [&](boost::system::error_code& outcome,
                                              const tcp::socket&) {
        if (++accepts == 1) {
            outcome = boost::asio::error::no_descriptors;
        }
    };
    const std::string owner = process_account_sid(::GetCurrentProcessId()).value();
    const std::string prefix = "Helper could not accept a connection: ";

    // The client end of every connection the loop hands back.
    std::vector<tcp::endpoint> served;
    serve_into(served, io, listener, owner, log);
    auto connect = [&] {
        auto client = std::make_unique<tcp::socket>(io);
        client->connect(listener.acceptor.local_endpoint());
        // Wine ties a socket to its process only at its first send or receive.
        EXPECT_EQ(::send(client->native_handle(), "", 0, 0), 0);
        return client;
    };
    auto run_until_served = [&](std::size_t count) {
        // Under Wine one read of the TCP table takes seconds on a busy machine.
        auto deadline = std::chrono::steady_clock::now() + 30s;
        while (served.size() < count && std::chrono::steady_clock::now() < deadline) {
            io.run_for(20ms);
        }
    };

    auto failed = connect();
    const auto failed_at = std::chrono::steady_clock::now();
    io.run_for(200ms);
    EXPECT_EQ(accepts, 1);
    auto second = connect();  // waits in the backlog through the pause
    run_until_served(1);
    ASSERT_EQ(served.size(), 1u);
    EXPECT_GE(std::chrono::steady_clock::now() - failed_at, 900ms);
    EXPECT_EQ(served[0], second->local_endpoint());

    auto third = connect();
    run_until_served(2);
    ASSERT_EQ(served.size(), 2u);
    EXPECT_EQ(served[1], third->local_endpoint());

    // The connection whose accept failed was closed, and the failure logged once.
    char byte = 0;
    EXPECT_LE(::recv(failed->native_handle(), &byte, 1, 0), 0);
    const std::string text = log.text();
    EXPECT_EQ(count_lines_starting(text, prefix), 1u) << text;
    listener.close();
    io.run_for(100ms);
}

TEST(AcceptLoop, ConnectionsAcceptedTogetherAreJudgedAgainstOneSnapshotTakenAfterTheirAccept) {
    hub::HelperLogList log(hub::kHelperLogCapacity);
    boost::asio::io_context io;
    Listener listener(io.get_executor());
    listen_on_loopback(listener);
    const std::uint32_t self = ::GetCurrentProcessId();
    const std::string owner = process_account_sid(self).value();

    // The table seen by the check holds a row only for a connection already accepted when the
    // snapshot is taken: a connection judged against an older snapshot finds none and is
    // refused.
    std::vector<tcp_owner_row> accepted_rows;
    listener.inspect_accept_for_testing = [&](boost::system::error_code& outcome,
                                              const tcp::socket& socket) {
        if (!outcome) {
            accepted_rows.push_back({self, endpoint_of(socket.remote_endpoint()),
                                     endpoint_of(socket.local_endpoint())});
        }
    };
    int snapshots = 0;
    listener.read_table_for_testing = [&] {
        ++snapshots;
        return Result<std::vector<tcp_owner_row>>(accepted_rows);
    };

    // All of them wait in the backlog before the loop runs.
    constexpr std::size_t kClients = 6;
    std::vector<std::unique_ptr<tcp::socket>> clients;
    for (std::size_t i = 0; i < kClients; ++i) {
        clients.push_back(std::make_unique<tcp::socket>(io));
        clients.back()->connect(listener.acceptor.local_endpoint());
    }
    std::vector<tcp::endpoint> served;
    serve_into(served, io, listener, owner, log);
    for (auto deadline = std::chrono::steady_clock::now() + 5s;
         served.size() < kClients && std::chrono::steady_clock::now() < deadline;) {
        io.run_for(20ms);
    }

    ASSERT_EQ(served.size(), kClients) << log.text();
    for (std::size_t i = 0; i < kClients; ++i) {
        EXPECT_EQ(served[i], clients[i]->local_endpoint()) << i;
    }
    // One snapshot for the verdicts and one to see each held process still named.
    EXPECT_EQ(snapshots, 2);
    EXPECT_EQ(log.text(), "");
    listener.close();
    io.run_for(100ms);
}

}  // namespace
}  // namespace drovane::peer
