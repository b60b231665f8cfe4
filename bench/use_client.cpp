// The owner's session of use in bench/idle_footprint.sh: what a desktop client does with the
// Helper over a day, compressed. It reads the published port, then makes `rounds` rounds of
// ping, start (the Core writes its line), logs and stop, each on a new connection, then
// `requests` requests split between one HTTP/1.1 keep-alive connection and one cleartext HTTP/2
// connection (GET /logs and GET /ping alternating; HTTP/2 in batches of 10 concurrent streams).
// Usage: use_client <expected Core SHA-256> <rounds> <requests>
// Prints the port and the counts of good replies on one line; exits 1 when a reply was missing or
// not the expected status.
#include <nghttp2/nghttp2.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

// One connected socket to the Helper, closed with the object.
class Connection {
  public:
    explicit Connection(unsigned short port) : socket_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        connected_ =
            socket_ != INVALID_SOCKET &&
            ::connect(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection() {
        if (socket_ != INVALID_SOCKET) {
            ::closesocket(socket_);
        }
    }

    bool connected() const { return connected_; }

    bool send_all(const std::string& bytes) {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            int n = ::send(socket_, bytes.data() + sent, static_cast<int>(bytes.size() - sent), 0);
            if (n <= 0) {
                return false;
            }
            sent += static_cast<std::size_t>(n);
        }
        return true;
    }

    // Some bytes, or nothing once the peer closed or the receive failed.
    std::optional<std::string> receive_some() {
        char buffer[16384];
        int n = ::recv(socket_, buffer, sizeof buffer, 0);
        if (n <= 0) {
            return std::nullopt;
        }
        return std::string(buffer, static_cast<std::size_t>(n));
    }

  private:
    SOCKET socket_;
    bool connected_ = false;
};

// Reads one HTTP/1.1 response (its body framed by Content-Length) and returns its status, 0 for
// none. Bytes after it stay in `pending`.
int read_response(Connection& connection, std::string& pending) {
    std::size_t head_end;
    while ((head_end = pending.find("\r\n\r\n")) == std::string::npos) {
        std::optional<std::string> more = connection.receive_some();
        if (!more) {
            return 0;
        }
        pending += *more;
    }
    std::size_t length = 0;
    for (const char* name : {"\r\ncontent-length: ", "\r\nContent-Length: "}) {
        std::size_t at = pending.find(name);
        if (at != std::string::npos && at < head_end) {
            length = std::strtoul(pending.c_str() + at + std::strlen(name), nullptr, 10);
        }
    }
    while (pending.size() < head_end + 4 + length) {
        std::optional<std::string> more = connection.receive_some();
        if (!more) {
            return 0;
        }
        pending += *more;
    }
    int status = pending.compare(0, 9, "HTTP/1.1 ") == 0 ? std::atoi(pending.c_str() + 9) : 0;
    pending.erase(0, head_end + 4 + length);
    return status;
}

std::string request(const std::string& method, const std::string& target, bool close,
                    const std::string& json = {}) {
    std::string text = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    if (close) {
        text += "Connection: close\r\n";
    }
    if (!json.empty()) {
        text += "Content-Type: application/json\r\nContent-Length: " + std::to_string(json.size()) +
                "\r\n";
    }
    return text + "\r\n" + json;
}

// Under load Wine may name the owner of a new connection too late for the Helper's check, which
// then closes it unanswered: a connection that got no reply is tried again, a few times.
constexpr int kAttempts = 3;

// One request on a new connection; its status, 0 for no reply.
int once(unsigned short port, const std::string& bytes) {
    int status = 0;
    for (int attempt = 0; attempt < kAttempts && status == 0; ++attempt) {
        Connection connection(port);
        std::string pending;
        if (connection.connected() && connection.send_all(bytes)) {
            status = read_response(connection, pending);
        }
    }
    return status;
}

std::string hex32(unsigned value) {
    char text[33];
    std::snprintf(text, sizeof text, "7%031x", value);
    return text;
}

// `count` requests on one keep-alive connection; how many came back with status 200.
int http1_burst(unsigned short port, const std::vector<std::string>& targets, int count) {
    int good = 0;
    for (int attempt = 0; attempt < kAttempts && good == 0; ++attempt) {
        Connection connection(port);
        std::string pending;
        for (int i = 0; i < count && connection.connected(); ++i) {
            if (!connection.send_all(request("GET", targets[i % targets.size()], false))) {
                break;
            }
            const int status = read_response(connection, pending);
            if (status == 0) {
                break;
            }
            good += status == 200;
        }
    }
    return good;
}

// `count` requests on one HTTP/2 connection with prior knowledge, `batch` streams at a time;
// how many came back with status 200.
int http2_session(unsigned short port, const std::vector<std::string>& targets, int count,
                  int batch) {
    struct State {
        std::string outgoing;
        int open = 0;
        int good = 0;
    } state;
    Connection connection(port);
    if (!connection.connected()) {
        return 0;
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
            if (std::string(reinterpret_cast<const char*>(name), namelen) == ":status" &&
                std::string(reinterpret_cast<const char*>(value), valuelen) == "200") {
                ++static_cast<State*>(user)->good;
            }
            return 0;
        });
    nghttp2_session_callbacks_set_on_stream_close_callback(
        callbacks, [](nghttp2_session*, int32_t, uint32_t, void* user) -> int {
            --static_cast<State*>(user)->open;
            return 0;
        });
    nghttp2_session* raw = nullptr;
    nghttp2_session_client_new(&raw, callbacks, &state);
    nghttp2_session_callbacks_del(callbacks);
    std::unique_ptr<nghttp2_session, decltype(&nghttp2_session_del)> session(raw,
                                                                             nghttp2_session_del);
    auto header = [](const char* name, const std::string& value) {
        return nghttp2_nv{reinterpret_cast<uint8_t*>(const_cast<char*>(name)),
                          reinterpret_cast<uint8_t*>(const_cast<char*>(value.c_str())),
                          std::strlen(name), value.size(), NGHTTP2_NV_FLAG_NONE};
    };
    const std::string get = "GET", http = "http", authority = "127.0.0.1";
    nghttp2_submit_settings(raw, NGHTTP2_FLAG_NONE, nullptr, 0);
    for (int sent = 0; sent < count;) {
        for (int i = 0; i < batch && sent < count; ++i, ++sent) {
            nghttp2_nv headers[] = {header(":method", get), header(":scheme", http),
                                    header(":authority", authority),
                                    header(":path", targets[sent % targets.size()])};
            if (nghttp2_submit_request(raw, nullptr, headers, 4, nullptr, nullptr) < 0) {
                return state.good;
            }
            ++state.open;
        }
        while (state.open > 0) {
            if (nghttp2_session_send(raw) != 0 || !connection.send_all(state.outgoing)) {
                return state.good;
            }
            state.outgoing.clear();
            if (state.open == 0) {
                break;
            }
            std::optional<std::string> incoming = connection.receive_some();
            if (!incoming ||
                nghttp2_session_mem_recv(raw, reinterpret_cast<const uint8_t*>(incoming->data()),
                                         incoming->size()) < 0) {
                return state.good;
            }
        }
    }
    return state.good;
}

int http2_burst(unsigned short port, const std::vector<std::string>& targets, int count,
                int batch) {
    int good = 0;
    for (int attempt = 0; attempt < kAttempts && good == 0; ++attempt) {
        good = http2_session(port, targets, count, batch);
    }
    return good;
}

std::optional<unsigned short> published_port() {
    DWORD port = 0;
    DWORD size = sizeof port;
    if (::RegGetValueW(HKEY_LOCAL_MACHINE,
                       L"SYSTEM\\CurrentControlSet\\Services\\DrovaneHelperService\\Runtime",
                       L"Port", RRF_RT_REG_DWORD, nullptr, &port, &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    return static_cast<unsigned short>(port);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 || std::strlen(argv[1]) != 64) {
        std::fprintf(stderr, "usage: use_client <expected Core SHA-256> <rounds> <requests>\n");
        return 2;
    }
    const std::string digest = argv[1];
    const int rounds = std::atoi(argv[2]);
    const int requests = std::atoi(argv[3]);
    WSADATA data;
    if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        return 1;
    }
    std::optional<unsigned short> port = published_port();
    if (!port) {
        std::fprintf(stderr, "use_client: no published port\n");
        return 1;
    }
    const std::string ping = "/ping?coreSha256=" + digest;
    int good = 0, expected = 0;
    for (int round = 0; round < rounds; ++round) {
        const std::string session = hex32(static_cast<unsigned>(round));
        const std::string address = R"(\\\\.\\pipe\\DrovaneCore_)" + hex32(0x1000u + round);
        good += once(*port, request("GET", ping, true)) == 200;
        good += once(*port, request("POST", "/start", true,
                                    R"({"address":")" + address + R"(","sessionId":")" + session +
                                        R"("})")) == 200;
        good += once(*port, request("GET", "/logs", true)) == 200;
        good += once(*port, request("POST", "/stop", true,
                                    R"({"sessionId":")" + session + R"("})")) == 200;
        expected += 4;
    }
    const std::vector<std::string> targets = {"/logs", ping};
    const int http1 = http1_burst(*port, targets, requests / 2);
    const int http2 = http2_burst(*port, targets, requests - requests / 2, 10);
    std::printf(
        "use_client: port %u: answered 200: %d of %d in rounds, %d of %d over HTTP/1.1, "
        "%d of %d over HTTP/2\n",
        *port, good, expected, http1, requests / 2, http2, requests - requests / 2);
    good += http1 + http2;
    expected += requests;
    ::WSACleanup();
    return good == expected ? 0 : 1;
}
