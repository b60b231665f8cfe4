#include <gtest/gtest.h>
#include <nghttp2/nghttp2.h>

#include <algorithm>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_future.hpp>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "fakes/recording_core.hpp"
#include "names.hpp"
#include "service/hub/api/wire.hpp"
#include "service/hub/core_operations.hpp"
#include "service/hub/helper_log.hpp"
#include "service/runtime.hpp"
#include "service/shutdown_flag.hpp"
#include "service/windows/endpoint_server.hpp"
#include "service/windows/port_publication.hpp"
#include "service/windows/service_status.hpp"
#include "text.hpp"
#include "win/handles.hpp"

// After <windows.h> and <winsock2.h>, which they need.
#include <iphlpapi.h>
#include <ws2tcpip.h>

namespace drovane::win {
namespace {

using namespace std::chrono_literals;

const std::wstring kKeyPath = names::runtime_key_wide.data();
const std::string kRefusalLine = "Helper refused a connection from an account other than its owner";

// ---------------------------------------------------------------------------------------------
// Doubles: the status reports and the Core operations.

class RecordingStatus : public StatusReporter {
  public:
    Status report(const ServiceStatus& status) override {
        std::function<void()> hook;
        {
            std::lock_guard lock(mutex_);
            reports_.push_back(status);
            if (status.current_state == SERVICE_RUNNING) {
                hook = on_running;
            }
        }
        changed_.notify_all();
        if (fail_running && status.current_state == SERVICE_RUNNING) {
            return Error::winapi(ERROR_INVALID_HANDLE);
        }
        if (hook) {
            hook();
        }
        return {};
    }

    bool wait_for(std::uint32_t state, std::chrono::milliseconds timeout = 20s) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] {
            for (const ServiceStatus& s : reports_) {
                if (s.current_state == state) {
                    return true;
                }
            }
            return false;
        });
    }

    std::vector<ServiceStatus> reports() {
        std::lock_guard lock(mutex_);
        return reports_;
    }

    bool fail_running = false;
    std::function<void()> on_running;  // runs inside the Running report

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<ServiceStatus> reports_;
};

// ---------------------------------------------------------------------------------------------
// The registry value as the desktop client reads it.

std::optional<DWORD> published_port() {
    DWORD value = 0;
    DWORD size = sizeof(value);
    LSTATUS result = ::RegGetValueW(HKEY_LOCAL_MACHINE, kKeyPath.c_str(), L"Port", RRF_RT_REG_DWORD,
                                    nullptr, &value, &size);
    if (result != ERROR_SUCCESS) {
        return std::nullopt;
    }
    return value;
}

bool runtime_key_exists() {
    unique_key key;
    return ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKeyPath.c_str(), 0, KEY_READ, key.put()) ==
           ERROR_SUCCESS;
}

void write_stale_port(DWORD port) {
    unique_key key;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKeyPath.c_str(), 0, nullptr,
                                REG_OPTION_VOLATILE, KEY_SET_VALUE, nullptr, key.put(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(::RegSetValueExW(key.get(), L"Port", 0, REG_DWORD,
                               reinterpret_cast<const BYTE*>(&port), sizeof(port)),
              ERROR_SUCCESS);
}

// ---------------------------------------------------------------------------------------------
// A blocking Winsock client in this (Wine) process, so the owner check can find it.

struct Response {
    int status = 0;
    std::string head;
    std::string body;
};

class Client {
  public:
    explicit Client(std::uint16_t port) {
        socket_.reset(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        DWORD timeout_ms = 15000;
        ::setsockopt(socket_.get(), SOL_SOCKET, SO_RCVTIMEO,
                     reinterpret_cast<const char*>(&timeout_ms), sizeof(timeout_ms));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        connected_ = ::connect(socket_.get(), reinterpret_cast<const sockaddr*>(&address),
                               sizeof(address)) == 0;
    }

    bool connected() const { return connected_; }

    bool send_all(std::string_view bytes) {
        while (!bytes.empty()) {
            int sent = ::send(socket_.get(), bytes.data(), static_cast<int>(bytes.size()), 0);
            if (sent <= 0) {
                return false;
            }
            bytes.remove_prefix(static_cast<std::size_t>(sent));
        }
        return true;
    }

    // Some bytes, or nothing at the end of the connection (close, reset or timeout; ending()
    // tells which).
    std::optional<std::string> receive_some() {
        char chunk[4096];
        int got = ::recv(socket_.get(), chunk, sizeof(chunk), 0);
        if (got <= 0) {
            timed_out_ = got < 0 && ::WSAGetLastError() == WSAETIMEDOUT;
            return std::nullopt;
        }
        return std::string(chunk, static_cast<std::size_t>(got));
    }

    // One HTTP/1.1 response framed by Content-Length.
    std::optional<Response> read_response() {
        std::size_t end;
        while ((end = pending_.find("\r\n\r\n")) == std::string::npos) {
            if (!fill()) {
                return std::nullopt;
            }
        }
        Response response;
        response.head = pending_.substr(0, end);
        pending_.erase(0, end + 4);
        response.status = std::stoi(response.head.substr(9, 3));
        std::size_t length = 0;
        std::string lower = response.head;
        for (char& c : lower) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        if (std::size_t at = lower.find("content-length:"); at != std::string::npos) {
            length = std::stoul(lower.substr(at + 15));
        }
        while (pending_.size() < length) {
            if (!fill()) {
                return std::nullopt;
            }
        }
        response.body = pending_.substr(0, length);
        pending_.erase(0, length);
        return response;
    }

    // How the connection goes on from here: "closed" when the server ends it (a close or a
    // reset) without sending anything more, "timed out" when it stays open past the receive
    // timeout, or "sent ..." with what came instead.
    std::string ending() {
        std::string more = pending_;
        pending_.clear();
        if (more.empty()) {
            std::optional<std::string> got = receive_some();
            if (!got) {
                return timed_out_ ? "timed out" : "closed";
            }
            more = *got;
        }
        return "sent " + more.substr(0, 200);
    }

    void close() { socket_.reset(); }

  private:
    bool fill() {
        std::optional<std::string> more = receive_some();
        if (!more) {
            return false;
        }
        pending_ += *more;
        return true;
    }

    unique_socket socket_;
    bool connected_ = false;
    bool timed_out_ = false;
    std::string pending_;
};

// The local addresses of the TCP listeners on `port`, IPv4 and IPv6 ("[...]"), as text.
std::vector<std::string> listeners_on(std::uint16_t port) {
    auto table = [](ULONG family) {
        std::vector<char> buffer(1);
        DWORD size = 0;
        DWORD result = ERROR_INSUFFICIENT_BUFFER;
        while (result == ERROR_INSUFFICIENT_BUFFER) {
            buffer.resize(std::max<std::size_t>(size, buffer.size() * 2));
            size = static_cast<DWORD>(buffer.size());
            result = ::GetExtendedTcpTable(buffer.data(), &size, FALSE, family,
                                           TCP_TABLE_OWNER_PID_LISTENER, 0);
        }
        EXPECT_EQ(result, static_cast<DWORD>(NO_ERROR)) << "TCP table of family " << family;
        return result == NO_ERROR ? buffer : std::vector<char>();
    };
    std::vector<std::string> found;
    char text[INET6_ADDRSTRLEN];
    if (std::vector<char> v4 = table(AF_INET); !v4.empty()) {
        const auto* rows = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(v4.data());
        for (DWORD i = 0; i < rows->dwNumEntries; ++i) {
            const MIB_TCPROW_OWNER_PID& row = rows->table[i];
            if (::ntohs(static_cast<u_short>(row.dwLocalPort)) == port) {
                in_addr address{};
                address.s_addr = row.dwLocalAddr;
                found.push_back(::inet_ntop(AF_INET, &address, text, sizeof(text)));
            }
        }
    }
    if (std::vector<char> v6 = table(AF_INET6); !v6.empty()) {
        const auto* rows = reinterpret_cast<const MIB_TCP6TABLE_OWNER_PID*>(v6.data());
        for (DWORD i = 0; i < rows->dwNumEntries; ++i) {
            const MIB_TCP6ROW_OWNER_PID& row = rows->table[i];
            if (::ntohs(static_cast<u_short>(row.dwLocalPort)) == port) {
                in6_addr address{};
                std::memcpy(&address, row.ucLocalAddr, sizeof(address));
                found.push_back(std::string("[") +
                                ::inet_ntop(AF_INET6, &address, text, sizeof(text)) + "]");
            }
        }
    }
    return found;
}

// Whether a connection to `port` on the IPv6 loopback address is accepted.
bool ipv6_loopback_connects(std::uint16_t port) {
    unique_socket socket(::socket(AF_INET6, SOCK_STREAM, IPPROTO_TCP));
    if (!socket) {
        return false;  // no IPv6 here at all
    }
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr.s6_addr[15] = 1;  // ::1
    address.sin6_port = htons(port);
    return ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) ==
           0;
}

std::string get_request(std::string_view target) {
    return "GET " + std::string(target) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
}

// One GET over cleartext HTTP/2 with prior knowledge, on nghttp2's client session.
struct Http2Result {
    int status = 0;
    std::string body;
    bool complete = false;
};

Http2Result http2_get(std::uint16_t port, const std::string& path) {
    struct State {
        std::string outgoing;
        Http2Result result;
    } state;
    Client client(port);
    if (!client.connected()) {
        return {};
    }

    nghttp2_session_callbacks* callbacks = nullptr;
    nghttp2_session_callbacks_new(&callbacks);
    nghttp2_session_callbacks_set_send_callback(
        callbacks,
        [](nghttp2_session*, const uint8_t* data, size_t length, int, void* user) -> ssize_t {
            static_cast<State*>(user)->outgoing.append(reinterpret_cast<const char*>(data), length);
            return static_cast<ssize_t>(length);
        });
    nghttp2_session_callbacks_set_on_header_callback(
        callbacks,
        [](nghttp2_session*, const nghttp2_frame*, const uint8_t* name, size_t namelen,
           const uint8_t* value, size_t valuelen, uint8_t, void* user) -> int {
            if (std::string_view(reinterpret_cast<const char*>(name), namelen) == ":status") {
                static_cast<State*>(user)->result.status =
                    std::stoi(std::string(reinterpret_cast<const char*>(value), valuelen));
            }
            return 0;
        });
    nghttp2_session_callbacks_set_on_data_chunk_recv_callback(
        callbacks,
        [](nghttp2_session*, uint8_t, int32_t, const uint8_t* data, size_t length,
           void* user) -> int {
            static_cast<State*>(user)->result.body.append(reinterpret_cast<const char*>(data),
                                                          length);
            return 0;
        });
    nghttp2_session_callbacks_set_on_stream_close_callback(
        callbacks, [](nghttp2_session*, int32_t, uint32_t, void* user) -> int {
            static_cast<State*>(user)->result.complete = true;
            return 0;
        });
    nghttp2_session* session = nullptr;
    nghttp2_session_client_new(&session, callbacks, &state);
    nghttp2_session_callbacks_del(callbacks);
    std::unique_ptr<nghttp2_session, decltype(&nghttp2_session_del)> owner(session,
                                                                           nghttp2_session_del);

    auto header = [](const char* name, const std::string& value) {
        return nghttp2_nv{reinterpret_cast<uint8_t*>(const_cast<char*>(name)),
                          reinterpret_cast<uint8_t*>(const_cast<char*>(value.c_str())),
                          std::strlen(name), value.size(), NGHTTP2_NV_FLAG_NONE};
    };
    const std::string get = "GET", http = "http", authority = "127.0.0.1";
    nghttp2_nv headers[] = {header(":method", get), header(":scheme", http),
                            header(":authority", authority), header(":path", path)};
    nghttp2_submit_settings(session, NGHTTP2_FLAG_NONE, nullptr, 0);
    if (nghttp2_submit_request(session, nullptr, headers, 4, nullptr, nullptr) < 0) {
        return {};
    }
    while (!state.result.complete) {
        if (nghttp2_session_send(session) != 0 || !client.send_all(state.outgoing)) {
            break;
        }
        state.outgoing.clear();
        if (state.result.complete) {
            break;
        }
        std::optional<std::string> incoming = client.receive_some();
        if (!incoming ||
            nghttp2_session_mem_recv(session, reinterpret_cast<const uint8_t*>(incoming->data()),
                                     incoming->size()) < 0) {
            break;
        }
    }
    return state.result;
}

// ---------------------------------------------------------------------------------------------
// One run of the endpoint server on a real runtime.

class EndpointServer : public ::testing::Test {
  protected:
    static std::size_t count_deadline_lines() {
        const std::string log = hub::helper_log_text();
        std::size_t lines = 0;
        for (std::size_t at = log.find(" still open "); at != std::string::npos;
             at = log.find(" still open ", at + 1)) {
            ++lines;
        }
        return lines;
    }

    void SetUp() override {
        deadline_lines_before_ = count_deadline_lines();
        withdraw_port();
        Result<std::unique_ptr<Runtime>> created = Runtime::create();
        ASSERT_TRUE(created) << created.error().text();
        runtime_ = std::move(created).value();
        auto [sender, receiver] = make_shutdown_flag();
        sender_ = std::move(sender);
        receiver_ = std::move(receiver);
        // ping answers "pong <digest>", so that a reply shows which request it answers.
        core_.ping_hook = [](const std::string& digest) {
            return hub::HelperPath{"pong " + digest};
        };
    }

    // Whether the drain's deadline ended connections during this test: it logs a line when it
    // does. A connection the drain closes itself is closed well before.
    bool deadline_ended_connections() const {
        return count_deadline_lines() > deadline_lines_before_;
    }

    void TearDown() override {
        sender_.close();
        core_.release();
        if (runtime_) {
            runtime_->shutdown();
        }
        withdraw_port();
    }

    void start(std::string owner_sid = "S-1-5-21-0-0-0-1000") {
        result_ =
            boost::asio::co_spawn(runtime_->executor(),
                                  run_endpoint_server(std::move(owner_sid), std::move(receiver_),
                                                      status_, *runtime_, core_),
                                  boost::asio::use_future);
    }

    // Waits for Running and returns the port the server published.
    std::uint16_t running_port() {
        EXPECT_TRUE(status_.wait_for(SERVICE_RUNNING));
        std::optional<DWORD> port = published_port();
        EXPECT_TRUE(port.has_value());
        return static_cast<std::uint16_t>(port.value_or(0));
    }

    bool finished_within(std::chrono::milliseconds timeout) {
        return result_.wait_for(timeout) == std::future_status::ready;
    }

    Status finish() {
        if (!finished_within(30s)) {
            return Error("the endpoint server did not finish");
        }
        return result_.get();
    }

    static std::vector<std::uint32_t> states(const std::vector<ServiceStatus>& reports) {
        std::vector<std::uint32_t> result;
        for (const ServiceStatus& s : reports) {
            result.push_back(s.current_state);
        }
        return result;
    }

    RecordingStatus status_;
    hub::testing::RecordingCore core_;
    std::unique_ptr<Runtime> runtime_;
    ShutdownSender sender_;
    ShutdownReceiver receiver_;
    std::future<Status> result_;
    std::size_t deadline_lines_before_ = 0;
};

TEST_F(EndpointServer, PublishesServesKeepAliveAndCleansUpOnStop) {
    write_stale_port(1);  // left over from an abrupt end
    start();
    std::uint16_t port = running_port();
    ASSERT_NE(port, 1);
    ASSERT_NE(port, 0);
    // Listening on the IPv4 loopback address alone: nothing on another address, nothing on IPv6.
    EXPECT_EQ(listeners_on(port), std::vector<std::string>{"127.0.0.1"});
    EXPECT_FALSE(ipv6_loopback_connects(port));

    Client client(port);
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(client.send_all(get_request("/ping?coreSha256=abc")));
    std::optional<Response> first = client.read_response();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->status, 200);
    EXPECT_EQ(first->body, "pong abc");
    // The same connection carries the next request.
    ASSERT_TRUE(client.send_all(get_request("/ping?coreSha256=def")));
    std::optional<Response> second = client.read_response();
    ASSERT_TRUE(second);
    EXPECT_EQ(second->body, "pong def");
    EXPECT_EQ(published_port(), port);

    sender_.send(true);
    // The idle keep-alive connection is closed by the drain, not left to the client.
    EXPECT_EQ(client.ending(), "closed");
    Status result = finish();
    ASSERT_TRUE(result) << result.error().text();
    EXPECT_FALSE(deadline_ended_connections());

    std::vector<ServiceStatus> reports = status_.reports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].current_state, static_cast<std::uint32_t>(SERVICE_RUNNING));
    EXPECT_EQ(reports[0].controls_accepted, static_cast<std::uint32_t>(SERVICE_ACCEPT_STOP));
    EXPECT_EQ(reports[0].checkpoint, 0u);
    EXPECT_EQ(reports[0].wait_hint, 0u);
    EXPECT_EQ(reports[1].current_state, static_cast<std::uint32_t>(SERVICE_STOP_PENDING));
    EXPECT_EQ(reports[1].controls_accepted, 0u);
    EXPECT_EQ(reports[1].checkpoint, 1u);
    EXPECT_EQ(reports[1].wait_hint, 10000u);
    EXPECT_FALSE(runtime_key_exists());
    EXPECT_EQ(core_.count("shutdown"), 1u);
    // The listener is gone with the run.
    EXPECT_FALSE(Client(port).connected());
}

TEST_F(EndpointServer, ServesCleartextHttp2) {
    start();
    std::uint16_t port = running_port();
    Http2Result reply = http2_get(port, "/ping?coreSha256=h2");
    EXPECT_TRUE(reply.complete);
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, "pong h2");
    sender_.send(true);
    EXPECT_TRUE(finish());
}

TEST_F(EndpointServer, RepliesThatAskToCloseEndTheConnection) {
    start();
    std::uint16_t port = running_port();
    struct Case {
        std::string request;
        int status;
    };
    const Case cases[] = {
        {"GET /ping?coreSha256=x HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: null\r\n\r\n", 403},
        {"POST /start HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 5000\r\n\r\n", 413},
    };
    for (const Case& c : cases) {
        Client client(port);
        ASSERT_TRUE(client.connected());
        ASSERT_TRUE(client.send_all(c.request));
        std::optional<Response> reply = client.read_response();
        ASSERT_TRUE(reply) << c.status;
        EXPECT_EQ(reply->status, c.status);
        EXPECT_EQ(client.ending(), "closed") << c.status;
    }
    EXPECT_EQ(core_.count("ping"), 0u);
    sender_.send(true);
    EXPECT_TRUE(finish());
}

TEST_F(EndpointServer, ConnectionsFromAnotherAccountAreClosedUnanswered) {
    start("S-1-5-18");  // every Wine process runs as S-1-5-21-0-0-0-1000
    std::uint16_t port = running_port();
    for (int i = 0; i < 2; ++i) {
        Client client(port);
        ASSERT_TRUE(client.connected());
        (void)client.send_all(get_request("/logs"));
        EXPECT_EQ(client.ending(), "closed") << i;
    }
    sender_.send(true);
    ASSERT_TRUE(finish());

    std::string log = hub::helper_log_text();
    std::size_t first = log.find(kRefusalLine);
    ASSERT_NE(first, std::string::npos) << log;
    EXPECT_EQ(log.find(kRefusalLine, first + 1), std::string::npos) << log;
}

TEST_F(EndpointServer, StopLetsARequestInFlightFinishAndClosesIdleConnections) {
    start();
    std::uint16_t port = running_port();

    Client idle(port);
    ASSERT_TRUE(idle.send_all(get_request("/logs")));
    ASSERT_TRUE(idle.read_response());

    core_.hold();
    Client busy(port);
    ASSERT_TRUE(busy.send_all(get_request("/ping?coreSha256=late")));
    ASSERT_TRUE(core_.wait_for_calls(1, "ping"));

    sender_.send(true);
    ASSERT_TRUE(status_.wait_for(SERVICE_STOP_PENDING));
    EXPECT_EQ(idle.ending(), "closed");
    EXPECT_FALSE(finished_within(300ms));    // draining waits for the request in flight
    EXPECT_FALSE(Client(port).connected());  // no longer accepting

    core_.release();
    std::optional<Response> reply = busy.read_response();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 200);
    EXPECT_EQ(reply->body, "pong late");
    EXPECT_EQ(busy.ending(), "closed");
    busy.close();  // as a client does once the server has closed its side
    EXPECT_TRUE(finish());
    EXPECT_FALSE(deadline_ended_connections());
    EXPECT_FALSE(runtime_key_exists());
}

TEST_F(EndpointServer, FlagAlreadySetStopsWithoutAcceptingAnything) {
    std::unique_ptr<Client> early;
    status_.on_running = [&] {
        // The listener exists now: this connection waits in its backlog.
        early = std::make_unique<Client>(static_cast<std::uint16_t>(published_port().value_or(0)));
        (void)early->send_all(get_request("/ping?coreSha256=early"));
    };
    sender_.send(true);
    start();
    ASSERT_TRUE(finish());

    EXPECT_EQ(states(status_.reports()),
              (std::vector<std::uint32_t>{SERVICE_RUNNING, SERVICE_STOP_PENDING}));
    ASSERT_TRUE(early && early->connected());
    EXPECT_EQ(early->ending(), "closed");
    EXPECT_EQ(core_.count("ping"), 0u);
    EXPECT_EQ(core_.count("shutdown"), 1u);
    EXPECT_FALSE(runtime_key_exists());
}

TEST_F(EndpointServer, ClosedFlagStopsLikeASetOne) {
    start();
    running_port();
    sender_.close();
    EXPECT_TRUE(finish());
    EXPECT_EQ(states(status_.reports()),
              (std::vector<std::uint32_t>{SERVICE_RUNNING, SERVICE_STOP_PENDING}));
}

TEST_F(EndpointServer, FailedRunningReportWithdrawsThePort) {
    status_.fail_running = true;
    start();
    Status result = finish();
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message(), "report helper service running");
    ASSERT_NE(result.error().cause(), nullptr);
    EXPECT_FALSE(runtime_key_exists());
    EXPECT_EQ(core_.count("shutdown"), 0u);
}

TEST_F(EndpointServer, AbandonedRunStillWithdrawsThePort) {
    start();
    running_port();
    ASSERT_TRUE(runtime_key_exists());
    runtime_->shutdown();  // the host tears the runtime down without a stop
    runtime_.reset();
    EXPECT_FALSE(runtime_key_exists());
    EXPECT_EQ(core_.count("shutdown"), 0u);
    EXPECT_EQ(status_.reports().size(), 1u);
}

}  // namespace
}  // namespace drovane::win
