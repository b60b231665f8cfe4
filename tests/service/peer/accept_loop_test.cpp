#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <iphlpapi.h>

#include "service/blocking_pool.hpp"
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

// What one admission run handed on: the client end of every connection it served, and whether
// it has returned.
struct Admitted {
    std::vector<tcp::endpoint> served;
    bool ended = false;
};

// Runs the admission on `io`, judged on `judges`, into `admitted`.
void admit_into(Admitted& admitted, boost::asio::io_context& io, Listener& listener,
                const std::string& owner, BlockingPool& judges, hub::HelperLogList& log) {
    boost::asio::co_spawn(
        io,
        [&]() -> boost::asio::awaitable<void> {
            co_await admit_connections(
                listener, owner, io.get_executor(), judges,
                [&](tcp::socket connection) {
                    admitted.served.push_back(connection.remote_endpoint());
                },
                log);
            admitted.ended = true;
        },
        boost::asio::detached);
}

// Runs `io` until `done()` holds, for at most `limit` (a read of the TCP table under Wine takes
// seconds on a busy machine). Answers `done()`.
template <typename Done>
bool run_until(boost::asio::io_context& io, Done done,
               std::chrono::steady_clock::duration limit = 30s) {
    for (auto deadline = std::chrono::steady_clock::now() + limit;
         !done() && std::chrono::steady_clock::now() < deadline;) {
        io.run_for(10ms);
    }
    return done();
}

// A client socket of this process connected to the listener. Wine ties a socket to its process
// only at its first send or receive: `send_first` sends nothing, at once.
std::unique_ptr<tcp::socket> connect_to(boost::asio::io_context& io, Listener& listener,
                                        bool send_first = true) {
    auto client = std::make_unique<tcp::socket>(io);
    client->connect(listener.acceptor.local_endpoint());
    // A test that fails must not hang in a receive on a connection that stays open.
    const DWORD receive_timeout_ms = 10000;
    ::setsockopt(client->native_handle(), SOL_SOCKET, SO_RCVTIMEO,
                 reinterpret_cast<const char*>(&receive_timeout_ms), sizeof receive_timeout_ms);
    if (send_first) {
        EXPECT_EQ(::send(client->native_handle(), "", 0, 0), 0);
    }
    return client;
}

// Whether the Helper has closed the client's connection (refused it), without waiting.
bool closed_by_helper(tcp::socket& client) {
    client.non_blocking(true);
    char byte = 0;
    const int received = ::recv(client.native_handle(), &byte, 1, MSG_PEEK);
    return received == 0 || (received < 0 && ::WSAGetLastError() != WSAEWOULDBLOCK);
}

// The rows that a seamed table holds: one for each connection accepted so far, owned by this
// process, except those the test leaves out. Filled on the accepting strand, read on the pool.
class SeamedTable {
  public:
    void add(const tcp::socket& accepted) {
        std::lock_guard guard(lock_);
        rows_.push_back({::GetCurrentProcessId(), endpoint_of(accepted.remote_endpoint()),
                         endpoint_of(accepted.local_endpoint())});
    }
    Result<std::vector<tcp_owner_row>> read() {
        ++snapshots_;
        std::lock_guard guard(lock_);
        return rows_;
    }
    int snapshots() const { return snapshots_; }

  private:
    std::mutex lock_;
    std::vector<tcp_owner_row> rows_;
    std::atomic<int> snapshots_{0};
};

const std::string kAcceptFailure = "Helper could not accept a connection: ";

TEST(AcceptLoop, FailedAcceptIsLoggedAndClosingTheListenerEndsItsPause) {
    hub::HelperLogList log(hub::kHelperLogCapacity);
    boost::asio::io_context io;
    Listener listener(io.get_executor());
    listen_on_loopback(listener);
    BlockingPool judges(2);

    Admitted admitted;
    admit_into(admitted, io, listener, "S-1-5-18", judges, log);
    while (io.poll() > 0) {
        // until the first accept is pending
    }
    // The socket goes away underneath the listener, which still counts as open: the pending
    // accept fails. (A second attempt on the vanished socket does not fail under Wine; it stays
    // pending, so the retry itself is not shown here.)
    ::closesocket(listener.acceptor.native_handle());
    ASSERT_TRUE(run_until(io, [&] { return count_lines_starting(log.text(), kAcceptFailure); }))
        << log.text();
    const std::string text = log.text();
    EXPECT_EQ(count_lines_starting(text, kAcceptFailure), 1u) << text;
    EXPECT_NE(text.find(" (os error "), std::string::npos) << text;
    EXPECT_FALSE(admitted.ended);  // pausing

    // Closed in the middle of the pause: the admission ends before the pause would have.
    auto closed_at = std::chrono::steady_clock::now();
    listener.close();
    EXPECT_TRUE(run_until(io, [&] { return admitted.ended; }));
    EXPECT_LT(std::chrono::steady_clock::now() - closed_at, kAcceptRetryPause);
    EXPECT_TRUE(admitted.served.empty());
}

TEST(AcceptLoop, AfterAFailedAcceptAndItsPauseTheNextConnectionsAreServed) {
    hub::HelperLogList log(hub::kHelperLogCapacity);
    boost::asio::io_context io;
    Listener listener(io.get_executor());
    listen_on_loopback(listener);
    std::atomic<int> accepts = 0;
    listener.inspect_accept_for_testing = [&](boost::system::error_code& outcome,
                                              const tcp::socket&) {
        if (++accepts == 1) {
            outcome = boost::asio::error::no_descriptors;
        }
    };
    const std::string owner = process_account_sid(::GetCurrentProcessId()).value();
    BlockingPool judges(2);
    Admitted admitted;
    admit_into(admitted, io, listener, owner, judges, log);

    auto failed = connect_to(io, listener);
    const auto failed_at = std::chrono::steady_clock::now();
    ASSERT_TRUE(run_until(io, [&] { return accepts == 1; }));
    auto second = connect_to(io, listener);  // waits in the backlog through the pause
    ASSERT_TRUE(run_until(io, [&] { return admitted.served.size() == 1; }));
    EXPECT_GE(std::chrono::steady_clock::now() - failed_at, 900ms);
    EXPECT_EQ(admitted.served[0], second->local_endpoint());

    auto third = connect_to(io, listener);
    ASSERT_TRUE(run_until(io, [&] { return admitted.served.size() == 2; }));
    EXPECT_EQ(admitted.served[1], third->local_endpoint());

    // The connection whose accept failed was closed, and the failure logged once.
    char byte = 0;
    EXPECT_LE(::recv(failed->native_handle(), &byte, 1, 0), 0);
    const std::string text = log.text();
    EXPECT_EQ(count_lines_starting(text, kAcceptFailure), 1u) << text;
    listener.close();
    EXPECT_TRUE(run_until(io, [&] { return admitted.ended; }));
}

TEST(AcceptLoop, ConnectionsAcceptedTogetherAreJudgedAgainstOneSnapshotTakenAfterTheirAccept) {
    hub::HelperLogList log(hub::kHelperLogCapacity);
    boost::asio::io_context io;
    Listener listener(io.get_executor());
    listen_on_loopback(listener);
    const std::string owner = process_account_sid(::GetCurrentProcessId()).value();

    // The table seen by the check holds a row only for a connection already accepted when the
    // snapshot is taken: a connection judged against an older snapshot finds none and is
    // refused.
    SeamedTable table;
    listener.inspect_accept_for_testing = [&](boost::system::error_code& outcome,
                                              const tcp::socket& socket) {
        if (!outcome) {
            table.add(socket);
        }
    };
    listener.read_table_for_testing = [&] { return table.read(); };

    // All of them wait in the backlog before the loop runs.
    constexpr std::size_t kClients = 6;
    std::vector<std::unique_ptr<tcp::socket>> clients;
    for (std::size_t i = 0; i < kClients; ++i) {
        clients.push_back(connect_to(io, listener, false));
    }
    BlockingPool judges(2);
    Admitted admitted;
    admit_into(admitted, io, listener, owner, judges, log);
    ASSERT_TRUE(run_until(io, [&] { return admitted.served.size() == kClients; })) << log.text();
    for (std::size_t i = 0; i < kClients; ++i) {
        EXPECT_EQ(admitted.served[i], clients[i]->local_endpoint()) << i;
    }
    // One snapshot for the verdicts and one to see each held process still named.
    EXPECT_EQ(table.snapshots(), 2);
    EXPECT_EQ(log.text(), "");
    listener.close();
    EXPECT_TRUE(run_until(io, [&] { return admitted.ended; }));
}

// A flood waiting in the backlog, of owner connections, connections that their client resets
// before the Helper takes them (Windows then fails their accept with WSAECONNRESET; Wine hands
// them over, so the inspector reports that failure) and connections that the table does not
// know (refused). Seeded: a failure prints its seed and script.
TEST(AcceptLoop, AFloodOfConnectsAndResetsIsOneBatchAndEveryOwnerConnectionIsServed) {
    enum class Kind { owner, reset, unknown };
    const std::string owner = process_account_sid(::GetCurrentProcessId()).value();
    for (unsigned seed : {1u, 2u, 3u}) {
        std::mt19937 random(seed);
        std::vector<Kind> script;
        std::string said;
        for (int i = 0; i < 40; ++i) {
            // Strict alternation first, then mixed at random.
            const Kind kind =
                i < 10 ? (i % 2 == 0 ? Kind::owner : Kind::reset) : static_cast<Kind>(random() % 3);
            script.push_back(kind);
            said += "ORU"[static_cast<int>(kind)];
        }
        SCOPED_TRACE("seed " + std::to_string(seed) + ", clients " + said);

        hub::HelperLogList log(hub::kHelperLogCapacity);
        boost::asio::io_context io;
        Listener listener(io.get_executor());
        listen_on_loopback(listener);
        std::map<std::uint16_t, Kind> kind_of_port;
        SeamedTable table;
        listener.inspect_accept_for_testing = [&](boost::system::error_code& outcome,
                                                  const tcp::socket& socket) {
            boost::system::error_code unreadable;
            const tcp::endpoint client = socket.remote_endpoint(unreadable);
            if (outcome) {
                return;
            }
            if (unreadable) {
                // Gone before its accept (Wine still hands it over): what Windows reports then.
                outcome = boost::asio::error::connection_reset;
                return;
            }
            switch (kind_of_port.at(client.port())) {
                case Kind::owner:
                    table.add(socket);
                    break;
                case Kind::reset:
                    outcome = boost::asio::error::connection_reset;
                    break;
                case Kind::unknown:
                    break;
            }
        };
        listener.read_table_for_testing = [&] { return table.read(); };

        std::vector<std::unique_ptr<tcp::socket>> clients;
        std::vector<tcp::endpoint> owners;
        for (Kind kind : script) {
            clients.push_back(connect_to(io, listener, false));
            tcp::socket& client = *clients.back();
            kind_of_port[client.local_endpoint().port()] = kind;
            if (kind == Kind::owner) {
                owners.push_back(client.local_endpoint());
            } else if (kind == Kind::reset) {
                client.set_option(boost::asio::socket_base::linger(true, 0));
                client.close();
            }
        }
        BlockingPool judges(2);
        Admitted admitted;
        admit_into(admitted, io, listener, owner, judges, log);
        ASSERT_TRUE(run_until(io, [&] { return admitted.served.size() == owners.size(); }))
            << log.text();
        EXPECT_EQ(admitted.served, owners);
        // The whole flood is one batch: one snapshot to judge it, one to confirm the owners.
        EXPECT_EQ(table.snapshots(), 2);
        // A reset is the client's doing: neither logged nor paused for.
        EXPECT_EQ(count_lines_starting(log.text(), kAcceptFailure), 0u) << log.text();
        listener.close();
        EXPECT_TRUE(run_until(io, [&] { return admitted.ended; }));
    }
}

TEST(AcceptLoop, CloseDuringALongTableReadEndsTheAdmissionAtOnce) {
    hub::HelperLogList log(hub::kHelperLogCapacity);
    boost::asio::io_context io;
    Listener listener(io.get_executor());
    listen_on_loopback(listener);
    // A table read that lasts until the test lets it end (or 20 s pass), as a read does under
    // Wine with thousands of rows.
    std::mutex lock;
    std::condition_variable changed;
    bool reading = false;
    bool read_over = false;
    bool release = false;
    listener.read_table_for_testing = [&]() -> Result<std::vector<tcp_owner_row>> {
        std::unique_lock guard(lock);
        reading = true;
        changed.notify_all();
        changed.wait_for(guard, 20s, [&] { return release; });
        read_over = true;
        return std::vector<tcp_owner_row>();
    };
    auto let_the_read_end = [&] {
        std::lock_guard guard(lock);
        release = true;
        changed.notify_all();
    };
    BlockingPool judges(2);
    Admitted admitted;
    admit_into(admitted, io, listener, "S-1-5-18", judges, log);
    auto client = connect_to(io, listener);
    ASSERT_TRUE(run_until(io, [&] {
        std::lock_guard guard(lock);
        return reading;
    }));

    // A connection that arrives during the read is still taken out of the backlog.
    auto during = connect_to(io, listener);
    {
        // The stop comes while the read is still under way.
        std::lock_guard guard(lock);
        EXPECT_FALSE(read_over);
    }
    // The stop's bound: the wait hint of the stop-pending report.
    const auto closed_at = std::chrono::steady_clock::now();
    listener.close();
    const bool ended = run_until(
        io, [&] { return admitted.ended; }, 15s);
    const auto took = std::chrono::steady_clock::now() - closed_at;
    let_the_read_end();
    EXPECT_TRUE(ended);
    EXPECT_LT(took, 10s);
    EXPECT_TRUE(admitted.served.empty());
    // Both connections were closed unserved, the one being judged included.
    char byte = 0;
    EXPECT_LE(::recv(client->native_handle(), &byte, 1, 0), 0);
    EXPECT_LE(::recv(during->native_handle(), &byte, 1, 0), 0);
}

// Every row of the system's table that belongs to the connection between the two ends.
std::vector<tcp_owner_row> rows_of(const tcp::endpoint& client, const tcp::endpoint& server) {
    Result<std::vector<tcp_owner_row>> rows = read_tcp_owner_table();
    EXPECT_TRUE(rows) << rows.error().text();
    std::vector<tcp_owner_row> found;
    for (const tcp_owner_row& row : rows ? *rows : std::vector<tcp_owner_row>()) {
        if ((row.local == endpoint_of(client) && row.remote == endpoint_of(server)) ||
            (row.local == endpoint_of(server) && row.remote == endpoint_of(client))) {
            found.push_back(row);
        }
    }
    return found;
}

TEST(AcceptLoop, RefusedConnectionsLeaveNoTimeWaitRow) {
    constexpr std::uint32_t kTimeWait = MIB_TCP_STATE_TIME_WAIT;
    hub::HelperLogList log(hub::kHelperLogCapacity);
    boost::asio::io_context io;
    Listener listener(io.get_executor());
    listen_on_loopback(listener);
    BlockingPool judges(2);
    Admitted admitted;
    // Against the system's table: this process does not run as the local system account.
    admit_into(admitted, io, listener, "S-1-5-18", judges, log);
    auto client = connect_to(io, listener);
    const tcp::endpoint client_end = client->local_endpoint();
    const tcp::endpoint server_end = listener.acceptor.local_endpoint();
    ASSERT_TRUE(run_until(io, [&] { return closed_by_helper(*client); }));
    client->close();
    // Once neither end is still closing, a graceful close would have left the Helper's end in
    // TIME_WAIT for minutes; a reset leaves nothing.
    std::vector<tcp_owner_row> rows;
    EXPECT_TRUE(run_until(
        io,
        [&] {
            rows = rows_of(client_end, server_end);
            return std::all_of(rows.begin(), rows.end(),
                               [](const auto& row) { return row.state == kTimeWait; });
        },
        10s));
    for (const tcp_owner_row& row : rows) {
        EXPECT_NE(row.state, kTimeWait) << "row of port " << row.local.port;
    }
    EXPECT_TRUE(admitted.served.empty());
    listener.close();
    EXPECT_TRUE(run_until(io, [&] { return admitted.ended; }));
}

// Keeps one core busy for as long as it lives.
class BusyLoop {
  public:
    BusyLoop()
        : thread_([this] {
              while (!stop_) {
              }
          }) {}
    ~BusyLoop() {
        stop_ = true;
        thread_.join();
    }

  private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// The worst case of a busy machine: the client's first send comes only after the Helper's first
// read of the table, where Wine still names process 0 for its socket. Windows names the process
// from the socket's creation.
TEST(AcceptLoop, OwnerWhoseFirstSendComesAfterTheFirstReadIsAdmittedOnABusyMachine) {
    const std::string owner = process_account_sid(::GetCurrentProcessId()).value();
    hub::HelperLogList log(hub::kHelperLogCapacity);
    boost::asio::io_context io;
    Listener listener(io.get_executor());
    listen_on_loopback(listener);
    std::atomic<SOCKET> sends_late{INVALID_SOCKET};
    std::atomic<bool> sent{false};
    listener.read_table_for_testing = [&] {
        Result<std::vector<tcp_owner_row>> rows = read_tcp_owner_table();
        if (SOCKET client = sends_late.exchange(INVALID_SOCKET); client != INVALID_SOCKET) {
            ::send(client, "", 0, 0);
            sent = true;
        }
        return rows;
    };
    BusyLoop first;
    BusyLoop second;
    BlockingPool judges(2);
    Admitted admitted;
    admit_into(admitted, io, listener, owner, judges, log);
    constexpr std::size_t kPings = 6;
    std::vector<std::unique_ptr<tcp::socket>> clients;
    for (std::size_t i = 0; i < kPings; ++i) {
        clients.push_back(connect_to(io, listener, false));
        sent = false;
        sends_late = clients.back()->native_handle();
        // Nothing touches the client before its late send: under Wine a receive, like a send,
        // would name its process.
        ASSERT_TRUE(run_until(io, [&] {
            return admitted.served.size() == i + 1 || (sent && closed_by_helper(*clients.back()));
        })) << i;
        ASSERT_EQ(admitted.served.size(), i + 1) << "connection " << i << " was refused";
    }
    EXPECT_EQ(admitted.served.size(), kPings);
    listener.close();
    EXPECT_TRUE(run_until(io, [&] { return admitted.ended; }));
}

}  // namespace
}  // namespace drovane::peer
