#include <gtest/gtest.h>

#include <algorithm>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <cctype>
#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include <iphlpapi.h>

#include "service/hub/helper_log.hpp"
#include "service/peer/owner_check.hpp"
#include "win/process_account.hpp"

namespace drovane::peer {

void PrintTo(const Verdict& verdict, std::ostream* out) {
    *out << (verdict.admitted ? "admitted"
             : verdict.sandboxed
                 ? "sandboxed (" + std::string(sandbox_reason_text(*verdict.sandboxed)) + ")"
                 : "another account");
}

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
    EXPECT_EQ(judge_connection(accepted_.native_handle(), sid), kAdmitted);
    std::string lower = sid;
    for (char& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    EXPECT_EQ(judge_connection(accepted_.native_handle(), lower), kAdmitted);
}

TEST_F(LoopbackConnection, OtherAccountsAndUnreadableEndsFail) {
    connect(true);
    EXPECT_EQ(judge_connection(accepted_.native_handle(), "S-1-5-18"), kOtherAccount);
    EXPECT_EQ(judge_connection(accepted_.native_handle(), own_sid() + "0"), kOtherAccount);
    EXPECT_EQ(judge_connection(accepted_.native_handle(), ""), kOtherAccount);
    // A socket with no peer: getpeername fails before the table is consulted.
    tcp::socket unconnected(io_, tcp::v4());
    EXPECT_EQ(judge_connection(unconnected.native_handle(), own_sid()), kOtherAccount);
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

const ConnectionEnds kEnds{{{127, 0, 0, 1}, 50000}, {{127, 0, 0, 1}, 40000}};

// A snapshot whose only row is the client's end of kEnds, owned by `pid`.
std::vector<tcp_owner_row> table_naming(std::uint32_t pid) {
    return {tcp_owner_row{pid, kEnds.peer, kEnds.local}};
}

// The facts of a process that nothing confines.
constexpr TokenFacts kMediumFacts{0x2000, false, false};

TEST(OwnerCheck, TheTableMustNameTheOpenedProcessAgain) {
    const std::uint32_t self = ::GetCurrentProcessId();
    const std::string sid = process_account_sid(self).value();
    win::unique_handle ended = ended_process();
    const std::uint32_t ended_pid = ::GetProcessId(ended.get());
    using Read = Result<std::vector<tcp_owner_row>>;
    struct Case {
        const char* name;
        Read first;
        Read second;
        bool admitted;
    };
    const std::vector<Case> cases = {
        {"same process both times", table_naming(self), table_naming(self), true},
        {"another process on the second read", table_naming(self), table_naming(self + 4), false},
        {"row gone on the second read", table_naming(self), std::vector<tcp_owner_row>(), false},
        {"table unreadable on the second read", table_naming(self),
         Error::os(ERROR_NOT_ENOUGH_MEMORY), false},
        {"table unreadable at once", Error::os(ERROR_NOT_ENOUGH_MEMORY), table_naming(self), false},
        {"process already ended", table_naming(ended_pid), table_naming(ended_pid), false},
        {"process ID 0", table_naming(0), table_naming(0), false},
    };
    const std::optional<ConnectionEnds> ends[] = {kEnds};
    for (const Case& c : cases) {
        int reads = 0;
        auto read_table = [&] { return ++reads == 1 ? c.first : c.second; };
        auto facts = [](HANDLE) { return Result<TokenFacts>(kMediumFacts); };
        EXPECT_EQ(judge_connections(ends, sid, read_table, facts).front().admitted, c.admitted)
            << c.name;
    }
}

TEST(OwnerCheck, RowsThatNameNoProcessAreReadAgainWithinABound) {
    const std::uint32_t self = ::GetCurrentProcessId();
    const std::string sid = process_account_sid(self).value();
    constexpr std::uint32_t kGone = 0xFFFFFFFF;  // the row is no longer in the table
    constexpr std::size_t kRereads = kUnnamedRowRereadDelays.size();
    struct Case {
        const char* name;
        std::vector<std::uint32_t> reads;  // the owner each read names; the last one repeats
        bool admitted;
        std::size_t min_calls;  // reads made, the confirming one included
        std::size_t max_calls;
    };
    const std::vector<Case> cases = {
        {"named at once", {self}, true, 2, 2},
        {"0, then the owner", {0, self}, true, 3, 3},
        {"0, 0, then the owner", {0, 0, self}, true, 4, 4},
        // A slow machine may stretch the waits past the bound, which then allows fewer reads.
        {"stays 0", {0}, false, 2, 1 + kRereads},
        {"0, then gone", {0, kGone}, false, 2, 2},
    };
    const std::optional<ConnectionEnds> ends[] = {kEnds};
    auto facts = [](HANDLE) { return Result<TokenFacts>(kMediumFacts); };
    for (const Case& c : cases) {
        std::size_t calls = 0;
        auto read_table = [&] {
            const std::uint32_t pid = c.reads[std::min(calls++, c.reads.size() - 1)];
            return Result<std::vector<tcp_owner_row>>(pid == kGone ? std::vector<tcp_owner_row>()
                                                                   : table_naming(pid));
        };
        EXPECT_EQ(judge_connections(ends, sid, read_table, facts).front().admitted, c.admitted)
            << c.name;
        EXPECT_GE(calls, c.min_calls) << c.name;
        EXPECT_LE(calls, c.max_calls) << c.name;
    }
}

// The table names the process that created a socket; a process created after the socket holds
// a reused ID and must not be taken for its creator.
TEST(OwnerCheck, AProcessCreatedAfterItsSocketIsNotItsCreator) {
    const std::uint32_t self = ::GetCurrentProcessId();
    const std::string sid = process_account_sid(self).value();
    FILETIME created{};
    FILETIME unused[3]{};
    ASSERT_TRUE(
        ::GetProcessTimes(::GetCurrentProcess(), &created, &unused[0], &unused[1], &unused[2]));
    const std::uint64_t process_created =
        (static_cast<std::uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
    constexpr std::int64_t kSecond = 10'000'000;  // in 100 ns units
    struct Case {
        const char* name;
        std::int64_t socket_after_process;  // socket creation minus process creation
        bool time_given;
        bool admitted;
    };
    const std::vector<Case> cases = {
        {"socket a second after the process", kSecond, true, true},
        {"socket in the same tick", 0, true, true},
        {"socket a tick before the process", -1, true, false},
        {"socket an hour before the process", -3600 * kSecond, true, false},
        {"no time given, socket later", kSecond, false, true},
        {"no time given, socket earlier", -kSecond, false, true},
    };
    const std::optional<ConnectionEnds> ends[] = {kEnds};
    auto facts = [](HANDLE) { return Result<TokenFacts>(kMediumFacts); };
    for (const Case& c : cases) {
        std::vector<tcp_owner_row> rows = table_naming(self);
        rows[0].created = c.time_given ? process_created + c.socket_after_process : 0;
        auto read_table = [&] { return Result<std::vector<tcp_owner_row>>(rows); };
        EXPECT_EQ(judge_connections(ends, sid, read_table, facts).front().admitted, c.admitted)
            << c.name;
    }
}

TEST(TcpTableRead, TheSystemsTableGivesStatesAndWhatItKnowsOfCreation) {
    // The module form of the real table: this process's own connection is found in it, named,
    // established, with a creation time no earlier than the process's (Wine gives none: 0).
    boost::asio::io_context io;
    tcp::acceptor acceptor(io, {boost::asio::ip::address_v4::loopback(), 0});
    tcp::socket client(io);
    client.connect(acceptor.local_endpoint());
    ASSERT_EQ(::send(client.native_handle(), "", 0, 0), 0);
    tcp::socket accepted = acceptor.accept();
    Result<std::vector<tcp_owner_row>> rows = read_tcp_owner_table();
    ASSERT_TRUE(rows) << rows.error().text();
    const tcp_owner_row* row = TcpRowIndex(*rows).find(endpoint_of(accepted.remote_endpoint()),
                                                       endpoint_of(accepted.local_endpoint()));
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->owning_pid, ::GetCurrentProcessId());
    EXPECT_EQ(row->state, static_cast<std::uint32_t>(MIB_TCP_STATE_ESTAB));
    FILETIME created{};
    FILETIME unused[3]{};
    ASSERT_TRUE(
        ::GetProcessTimes(::GetCurrentProcess(), &created, &unused[0], &unused[1], &unused[2]));
    const std::uint64_t process_created =
        (static_cast<std::uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
    EXPECT_TRUE(row->created == 0 || row->created >= process_created) << row->created;
}

TEST(OwnerCheck, TokenGateAdmitsOnlyUnconfinedProcessesOfTheOwner) {
    const std::string own = process_account_sid(::GetCurrentProcessId()).value();
    const std::string other = "S-1-5-18";
    using R = SandboxReason;
    struct Case {
        const char* name;
        std::string_view account;
        Result<TokenFacts> facts;
        Verdict verdict;
    };
    const std::vector<Case> cases = {
        {"untrusted", own, TokenFacts{0x0000, false, false}, sandboxed(R::low_integrity)},
        {"low", own, TokenFacts{0x1000, false, false}, sandboxed(R::low_integrity)},
        {"just below medium", own, TokenFacts{0x1FFF, false, false}, sandboxed(R::low_integrity)},
        {"medium", own, TokenFacts{0x2000, false, false}, kAdmitted},
        {"medium plus", own, TokenFacts{0x2100, false, false}, kAdmitted},
        {"high", own, TokenFacts{0x3000, false, false}, kAdmitted},
        {"system", own, TokenFacts{0x4000, false, false}, kAdmitted},
        {"AppContainer at low", own, TokenFacts{0x1000, true, false}, sandboxed(R::app_container)},
        {"AppContainer at medium", own, TokenFacts{0x2000, true, false},
         sandboxed(R::app_container)},
        {"restricted at medium", own, TokenFacts{0x2000, false, true},
         sandboxed(R::restricted_token)},
        {"restricted at untrusted", own, TokenFacts{0x0000, false, true},
         sandboxed(R::restricted_token)},
        {"AppContainer and restricted", own, TokenFacts{0x1000, true, true},
         sandboxed(R::app_container)},
        {"facts unreadable", own, Error::os(ERROR_ACCESS_DENIED), kOtherAccount},
        {"other account, high", other, TokenFacts{0x3000, false, false}, kOtherAccount},
        {"other account, low", other, TokenFacts{0x1000, false, false}, kOtherAccount},
    };
    const std::uint32_t self = ::GetCurrentProcessId();
    const std::optional<ConnectionEnds> ends[] = {kEnds};
    auto read_table = [&] { return Result<std::vector<tcp_owner_row>>(table_naming(self)); };
    for (const Case& c : cases) {
        DWORD seen = 0;
        auto facts = [&](HANDLE process) {
            seen = ::GetProcessId(process);
            return c.facts;
        };
        EXPECT_EQ(judge_connections(ends, c.account, read_table, facts).front(), c.verdict)
            << c.name;
        if (c.account == own) {
            // The facts come from the very process the account was read from, held open.
            EXPECT_EQ(seen, self) << c.name;
        }
    }
}

TEST(TokenFacts, AreReadFromARealProcess) {
    // Under Wine every process reads High, never AppContainer nor restricted; on Windows a test
    // run is Medium or High. Either way the check of a real process must admit it.
    win::unique_handle self(
        ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, ::GetCurrentProcessId()));
    ASSERT_TRUE(self);
    Result<TokenFacts> facts = read_token_facts(self.get());
    ASSERT_TRUE(facts) << facts.error().text();
    EXPECT_TRUE(facts->integrity_rid == 0x2000 || facts->integrity_rid == 0x2100 ||
                facts->integrity_rid == 0x3000 || facts->integrity_rid == 0x4000)
        << std::hex << facts->integrity_rid;
    EXPECT_FALSE(facts->app_container);
    EXPECT_FALSE(facts->restricted);
    EXPECT_EQ(sandbox_reason(*facts), std::nullopt);

    // A handle that is not a process's fails with the OS error; the gate then refuses.
    win::unique_handle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(event);
    Result<TokenFacts> denied = read_token_facts(event.get());
    ASSERT_FALSE(denied);
    EXPECT_TRUE(denied.error().os_code().has_value()) << denied.error().text();
}

// A TCP table of `rows` rows that grows by `growth` rows before every call after the first.
class GrowingTable {
  public:
    GrowingTable(std::uint32_t rows, std::uint32_t growth) : rows_(rows), growth_(growth) {}

    DWORD operator()(void* buffer, DWORD* size) {
        if (calls_++ > 0) {
            rows_ += growth_;
        }
        const DWORD needed = 4 + rows_ * static_cast<DWORD>(kTcpOwnerRowSize);
        if (buffer == nullptr || *size < needed) {
            *size = needed;
            return ERROR_INSUFFICIENT_BUFFER;
        }
        auto* bytes = static_cast<std::uint8_t*>(buffer);
        std::memcpy(bytes, &rows_, 4);
        for (std::uint32_t i = 0; i < rows_; ++i) {
            std::uint8_t* row = bytes + 4 + i * kTcpOwnerRowSize;
            std::memset(row, 0, kTcpOwnerRowSize);
            std::memcpy(row + 20, &i, 4);  // the owning process ID: the row's index
        }
        return NO_ERROR;
    }
    int calls() const { return calls_; }
    std::uint32_t rows() const { return rows_; }

  private:
    std::uint32_t rows_;
    std::uint32_t growth_;
    int calls_ = 0;
};

TEST(TcpTableRead, SlackAbsorbsGrowthBelowTheMarginAndFiveCallsStayTheBound) {
    struct Case {
        std::uint32_t rows;
        std::uint32_t growth;  // rows added before every call after the first
        int calls;             // calls made by a first read, with no size known yet
        int next_calls;        // calls made by a second read, from the size the first found
        bool read;
    };
    const std::vector<Case> cases = {
        {0, 0, 2, 1, true},        // empty: the count alone
        {40, 0, 2, 1, true},       // steady
        {40, 255, 2, 1, true},     // small table: the margin is 256 rows
        {8000, 1999, 2, 1, true},  // large table: the margin is a quarter
        {1000, 300, 3, 1, true},   // outgrows the first margin (256 rows), not the second (325)
        {100, 400, 5, 0, false},   // outgrows every margin: refused after five calls
    };
    for (const Case& c : cases) {
        GrowingTable table(c.rows, c.growth);
        DWORD hint = 0;
        Result<std::vector<tcp_owner_row>> rows = read_tcp_owner_table(std::ref(table), hint);
        EXPECT_EQ(table.calls(), c.calls) << c.rows << " + " << c.growth;
        ASSERT_EQ(rows.ok(), c.read) << c.rows << " + " << c.growth;
        if (!rows) {
            EXPECT_EQ(rows.error().text(), "the TCP table kept growing");
            continue;
        }
        ASSERT_EQ(rows->size(), table.rows());
        if (!rows->empty()) {
            EXPECT_EQ(rows->back().owning_pid, table.rows() - 1);
        }
        // The next read starts with a buffer: no call only to learn the size.
        const int before = table.calls();
        rows = read_tcp_owner_table(std::ref(table), hint);
        ASSERT_TRUE(rows) << c.rows << " + " << c.growth;
        EXPECT_EQ(table.calls() - before, c.next_calls) << c.rows << " + " << c.growth;
        EXPECT_EQ(rows->size(), table.rows());
    }
}

TEST_F(LoopbackConnection, RefusalClosesWithoutReplyAndLogsEachKindOnce) {
    hub::HelperLogList log(hub::kHelperLogCapacity);
    const std::vector<Verdict> refusals = {
        kOtherAccount,
        sandboxed(SandboxReason::low_integrity),
        kOtherAccount,
        sandboxed(SandboxReason::app_container),
        sandboxed(SandboxReason::low_integrity),
        sandboxed(SandboxReason::restricted_token),
        sandboxed(SandboxReason::app_container),
    };
    for (const Verdict& verdict : refusals) {
        connect(true);
        refuse_connection(std::move(accepted_), verdict, log);
        char byte = 0;
        // The client sees its connection end (orderly close or reset) and no data.
        EXPECT_LE(::recv(client_.native_handle(), &byte, 1, 0), 0);
        client_.close();
    }
    const std::string sandboxed_line =
        "Helper refused a connection from its owner's account: the client process is sandboxed ";
    EXPECT_EQ(log.text(), "Helper refused a connection from an account other than its owner\n" +
                              sandboxed_line + "(low integrity)\n" + sandboxed_line +
                              "(AppContainer)\n" + sandboxed_line + "(restricted token)");
}

}  // namespace
}  // namespace drovane::peer
