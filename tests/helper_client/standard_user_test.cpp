// The Windows transport against a listener of the test's own, with its system calls answered as
// Windows answers a standard user: the Helper is proven from the service's status and the TCP
// table alone, an impostor is refused before a byte is sent, each state of the service has its
// result, and every call ends by its deadline or when another thread cancels it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <thread>

#include "helper_client/helper_endpoint.hpp"
#include "win/handles.hpp"

// After <winsock2.h>, which it needs.
#include <iphlpapi.h>

namespace drovane::helper_client {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kService = 4242;
constexpr std::uint32_t kImpostor = 5151;
// Beside a deadline: thread start-up on a loaded machine, not the property under test.
constexpr auto kMargin = 1500ms;

struct Winsock {
    Winsock() {
        WSADATA data;
        ::WSAStartup(MAKEWORD(2, 2), &data);
    }
    ~Winsock() { ::WSACleanup(); }
};

// A loopback listener on a port the system picks, serving one connection at a time.
class Listener {
  public:
    enum class Mode { answer, silent, close_unanswered, half_head, half_body };

    explicit Listener(Mode mode) : mode_(mode) {
        socket_.reset(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(socket_.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address));
        ::listen(socket_.get(), 8);
        int length = sizeof(address);
        ::getsockname(socket_.get(), reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~Listener() {
        stop_ = true;
        thread_.join();
    }

    unsigned port() const { return port_; }
    int connections() const { return connections_; }
    long long bytes() const { return bytes_; }

  private:
    bool readable(SOCKET socket) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(socket, &set);
        timeval wait{0, 20000};
        return ::select(0, &set, nullptr, nullptr, &wait) == 1;
    }

    // Reads until the request's head is complete; false when the client closed first.
    bool read_head(SOCKET socket) {
        std::string seen;
        while (!stop_) {
            if (!readable(socket)) {
                continue;
            }
            char buffer[4096];
            int n = ::recv(socket, buffer, sizeof(buffer), 0);
            if (n <= 0) {
                return false;
            }
            bytes_ += n;
            seen.append(buffer, static_cast<std::size_t>(n));
            if (seen.find("\r\n\r\n") != std::string::npos) {
                return true;
            }
        }
        return false;
    }

    void hold_until_closed(SOCKET socket) {
        while (!stop_) {
            char byte;
            if (readable(socket) && ::recv(socket, &byte, 1, 0) <= 0) {
                return;
            }
        }
    }

    void run() {
        while (!stop_) {
            if (!readable(socket_.get())) {
                continue;
            }
            win::unique_socket connection(::accept(socket_.get(), nullptr, nullptr));
            if (!connection) {
                continue;
            }
            ++connections_;
            if (mode_ == Mode::close_unanswered) {
                continue;  // closed unread, as the Helper refuses another account
            }
            if (!read_head(connection.get())) {
                continue;
            }
            std::string_view sent;
            switch (mode_) {
                case Mode::answer:
                    sent =
                        "HTTP/1.1 200 OK\r\ncontent-type: text/plain; charset=utf-8\r\n"
                        "content-length: 4\r\nconnection: close\r\n\r\nline";
                    break;
                case Mode::half_head:
                    sent = "HTTP/1.1 200 OK\r\ncontent-ty";
                    break;
                case Mode::half_body:
                    sent =
                        "HTTP/1.1 200 OK\r\ncontent-type: text/plain; charset=utf-8\r\n"
                        "content-length: 10\r\n\r\nhalf.";
                    break;
                default:
                    break;
            }
            ::send(connection.get(), sent.data(), static_cast<int>(sent.size()), 0);
            if (mode_ != Mode::answer) {
                hold_until_closed(connection.get());
            }
        }
    }

    Mode mode_;
    win::unique_socket socket_;
    unsigned port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::atomic<long long> bytes_{0};
    std::thread thread_;
};

// The system calls as Windows answers them for a standard user. The service's status and the TCP
// table are granted to such a user and answer from the script; nothing here opens a process,
// which Windows denies such a user for the service's process (OpenProcess fails with 5).
class StandardUser final : public ClientSystemCalls {
  public:
    std::deque<ServiceReport> statuses;  // one per query; the last one stays
    std::optional<unsigned> port;
    ListenerOwners owners{kService, kService};
    bool listed = true;
    bool names_late = false;
    bool hang_status = false;
    bool hang_table = false;
    win::unique_handle release{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};

    Result<ServiceReport> service_status() override {
        if (hang_status) {
            ::WaitForSingleObject(release.get(), INFINITE);
        }
        std::lock_guard lock(mutex_);
        ServiceReport report = statuses.front();
        if (statuses.size() > 1) {
            statuses.pop_front();
        }
        return report;
    }
    Result<std::optional<unsigned>> published_port() override { return port; }
    Result<ListenerOwners> listener_owners(unsigned, unsigned) override {
        if (hang_table) {
            ::WaitForSingleObject(release.get(), INFINITE);
        }
        return owners;
    }
    Result<bool> process_listed(std::uint32_t) override { return listed; }
    bool table_names_owner_late() override { return names_late; }

  private:
    std::mutex mutex_;
};

ServiceReport running(std::uint32_t pid = kService) {
    return {true, kServiceRunning, pid, 0};
}

struct Outcome {
    std::optional<FailureKind> failure;  // none: a reply came
    std::string text;
    Clock::duration took;
};

Outcome call_logs(HelperTransport& transport) {
    auto begin = Clock::now();
    Call<HttpReply> reply = transport.exchange("GET", "/logs", {});
    Outcome outcome{std::nullopt, {}, Clock::now() - begin};
    if (!reply) {
        outcome.failure = reply.failure().kind;
        outcome.text = reply.failure().error.text();
    }
    return outcome;
}

std::string kind_name(const std::optional<FailureKind>& kind) {
    return kind ? std::to_string(static_cast<int>(*kind)) : "reply";
}

struct ProofCase {
    const char* name;
    std::function<void(StandardUser&)> script;
    std::optional<FailureKind> expected;  // none: the request reaches the listener and a reply
};

// ctest lists each case by its name, not as the bytes of the struct.
void PrintTo(const ProofCase& c, std::ostream* out) {
    *out << c.name;
}

class StandardUserProof : public ::testing::TestWithParam<ProofCase> {};

TEST_P(StandardUserProof, ProvesTheHelperOrSendsNothing) {
    Winsock winsock;
    const ProofCase& c = GetParam();
    Listener listener(Listener::Mode::answer);
    auto calls = std::make_shared<StandardUser>();
    calls->statuses = {running()};
    calls->port = listener.port();
    c.script(*calls);
    HelperTransport transport(calls);
    Outcome outcome = call_logs(transport);
    EXPECT_EQ(kind_name(outcome.failure), kind_name(c.expected)) << outcome.text;
    if (c.expected) {
        EXPECT_EQ(listener.bytes(), 0) << "bytes reached a listener that was not proven";
    } else {
        EXPECT_GT(listener.bytes(), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    HelperClient, StandardUserProof,
    ::testing::Values(
        ProofCase{"HelperRowNamesTheServiceProcess", [](StandardUser&) {}, std::nullopt},
        ProofCase{"HelperRowNamesAnotherProcess",
                  [](StandardUser& c) {
                      c.owners = {kImpostor, kImpostor};
                  },
                  FailureKind::not_helper},
        ProofCase{"HelperRowNamesNoProcess",
                  [](StandardUser& c) {
                      c.owners = {0, 0};
                  },
                  FailureKind::not_helper},
        ProofCase{"ServiceRestartedWhileChecked",
                  [](StandardUser& c) {
                      c.statuses = {running(), running(kService + 1)};
                  },
                  FailureKind::not_helper},
        ProofCase{"ServiceStoppedWhileChecked",
                  [](StandardUser& c) {
                      c.statuses = {running(), ServiceReport{true, 1, 0, 0}};
                  },
                  FailureKind::not_started},
        ProofCase{"NotInstalled", [](StandardUser& c) { c.statuses = {ServiceReport{}}; },
                  FailureKind::not_installed},
        ProofCase{"Stopped",
                  [](StandardUser& c) {
                      c.statuses = {ServiceReport{true, 1, 0, 0}};
                  },
                  FailureKind::not_started},
        ProofCase{"Starting",
                  [](StandardUser& c) {
                      c.statuses = {ServiceReport{true, 2, 0, 0}};
                  },
                  FailureKind::not_started},
        ProofCase{"RunningWithoutPort", [](StandardUser& c) { c.port.reset(); },
                  FailureKind::not_running},
        // Where the table names a socket's process late (Wine): an unnamed Helper end passes while
        // the listening row names no other process and the service's process is listed.
        ProofCase{"LateNamesUnnamedEndOfALiveService",
                  [](StandardUser& c) {
                      c.names_late = true;
                      c.owners = {0, kService};
                  },
                  std::nullopt},
        ProofCase{"LateNamesServiceProcessGone",
                  [](StandardUser& c) {
                      c.names_late = true;
                      c.owners = {0, 0};
                      c.listed = false;
                  },
                  FailureKind::not_helper},
        ProofCase{"LateNamesListenerOfAnotherProcess",
                  [](StandardUser& c) {
                      c.names_late = true;
                      c.owners = {0, kImpostor};
                  },
                  FailureKind::not_helper}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(StandardUserProof, ConnectionClosedUnansweredIsNotTheOwner) {
    Winsock winsock;
    Listener listener(Listener::Mode::close_unanswered);
    auto calls = std::make_shared<StandardUser>();
    calls->statuses = {running()};
    calls->port = listener.port();
    HelperTransport transport(calls);
    Outcome outcome = call_logs(transport);
    EXPECT_EQ(kind_name(outcome.failure), kind_name(FailureKind::not_owner)) << outcome.text;
}

struct DeadlineCase {
    const char* name;
    Listener::Mode mode;
    std::function<void(StandardUser&)> script;
};

void PrintTo(const DeadlineCase& c, std::ostream* out) {
    *out << c.name;
}

class Deadlines : public ::testing::TestWithParam<DeadlineCase> {};

TEST_P(Deadlines, EndTheCallInTime) {
    Winsock winsock;
    const DeadlineCase& c = GetParam();
    Listener listener(c.mode);
    auto calls = std::make_shared<StandardUser>();
    calls->statuses = {running()};
    calls->port = listener.port();
    c.script(*calls);
    HelperTransport transport(calls);
    transport.set_timeout(500ms);
    Outcome outcome = call_logs(transport);
    ::SetEvent(calls->release.get());
    EXPECT_EQ(kind_name(outcome.failure), kind_name(FailureKind::timed_out)) << outcome.text;
    EXPECT_GE(outcome.took, 500ms);
    EXPECT_LT(outcome.took, 500ms + kMargin);
}

INSTANTIATE_TEST_SUITE_P(
    HelperClient, Deadlines,
    ::testing::Values(DeadlineCase{"ListenerNeverAnswers", Listener::Mode::silent,
                                   [](StandardUser&) {}},
                      DeadlineCase{"HalfAHead", Listener::Mode::half_head, [](StandardUser&) {}},
                      DeadlineCase{"HalfABody", Listener::Mode::half_body, [](StandardUser&) {}},
                      DeadlineCase{"TableReadHangs", Listener::Mode::answer,
                                   [](StandardUser& c) { c.hang_table = true; }},
                      DeadlineCase{"ServiceManagerHangs", Listener::Mode::answer,
                                   [](StandardUser& c) { c.hang_status = true; }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Deadlines, CancelFromAnotherThreadEndsTheCall) {
    Winsock winsock;
    Listener listener(Listener::Mode::silent);
    auto calls = std::make_shared<StandardUser>();
    calls->statuses = {running()};
    calls->port = listener.port();
    HelperTransport transport(calls);
    transport.set_timeout(std::chrono::minutes(5));
    std::thread canceller([&] {
        // Once the request is there, the call is waiting for the reply.
        while (listener.bytes() == 0) {
            std::this_thread::sleep_for(5ms);
        }
        transport.cancel();
    });
    Outcome outcome = call_logs(transport);
    canceller.join();
    EXPECT_EQ(kind_name(outcome.failure), kind_name(FailureKind::cancelled)) << outcome.text;
    EXPECT_LT(outcome.took, std::chrono::minutes(1));

    // The next call is not affected by the cancel of the last.
    calls->owners = {kImpostor, kImpostor};
    EXPECT_EQ(kind_name(call_logs(transport).failure), kind_name(FailureKind::not_helper));
}

// The table reader trusts no row count beyond the bytes the call wrote.
TEST(ListenerOwners, CountsOnlyRowsWithinTheBytesRead) {
    struct Table {
        DWORD count;
        MIB_TCPROW_OWNER_PID rows[2];
    } table{};
    auto row = [](DWORD state, unsigned local, unsigned remote, DWORD pid) {
        MIB_TCPROW_OWNER_PID r{};
        r.dwState = state;
        r.dwLocalAddr = htonl(INADDR_LOOPBACK);
        r.dwLocalPort = htons(static_cast<u_short>(local));
        r.dwRemoteAddr = htonl(INADDR_LOOPBACK);
        r.dwRemotePort = htons(static_cast<u_short>(remote));
        r.dwOwningPid = pid;
        return r;
    };
    table.rows[0] = row(MIB_TCP_STATE_LISTEN, 50123, 0, kService);
    table.rows[1] = row(MIB_TCP_STATE_ESTAB, 50123, 60000, kService);
    table.count = 1000000;  // far more rows than there are bytes
    auto bytes = std::as_bytes(std::span(&table, 1));
    ListenerOwners whole = find_listener_owners(bytes, 50123, 60000);
    EXPECT_EQ(whole.listener, kService);
    EXPECT_EQ(whole.connection, kService);
    // Cut inside the second row: only the first counts.
    ListenerOwners cut = find_listener_owners(bytes.first(bytes.size() - 4), 50123, 60000);
    EXPECT_EQ(cut.listener, kService);
    EXPECT_FALSE(cut.connection.has_value());
    EXPECT_FALSE(find_listener_owners(bytes.first(2), 50123, 60000).listener.has_value());
}

}  // namespace
}  // namespace drovane::helper_client
