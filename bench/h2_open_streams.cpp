// The open-streams client of bench/http_soak.sh: one cleartext HTTP/2 connection to 127.0.0.1
// that opens streams and never ends them (POST /stop declaring a 4,000-byte body, HEADERS without
// END_STREAM, nothing after). Usage: h2_open_streams <port> <count>...; for each count, in
// increasing order, it opens streams until that many are open in all, reads what the server
// sends until it has gone quiet, prints "<count> <streams refused so far>" and waits for a line
// on standard input before the next count. Every frame is made before anything is read, so the
// server's SETTINGS are never acknowledged, as from a client that does not wait for them.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <nghttp2/nghttp2.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

namespace {

std::size_t refused = 0;

int on_close(nghttp2_session*, int32_t, uint32_t code, void*) {
    if (code == NGHTTP2_REFUSED_STREAM) {
        ++refused;
    }
    return 0;
}

ssize_t never_ends(nghttp2_session*, int32_t, uint8_t*, size_t, uint32_t*, nghttp2_data_source*,
                   void*) {
    return NGHTTP2_ERR_DEFERRED;
}

std::string pending(nghttp2_session* session) {
    std::string out;
    const uint8_t* data = nullptr;
    ssize_t n = 0;
    while ((n = nghttp2_session_mem_send(session, &data)) > 0) {
        out.append(reinterpret_cast<const char*>(data), static_cast<std::size_t>(n));
    }
    return out;
}

// Writes `bytes` while feeding what arrives to the session, then reads until 500 ms pass with
// nothing; false when the server closes the connection.
bool exchange(int fd, nghttp2_session* session, const std::string& bytes) {
    std::size_t sent = 0;
    for (;;) {
        pollfd events{fd, static_cast<short>(POLLIN | (sent < bytes.size() ? POLLOUT : 0)), 0};
        const int ready = ::poll(&events, 1, 500);
        if (ready < 0) {
            return false;
        }
        if (ready == 0) {
            if (sent == bytes.size()) {
                return true;
            }
            continue;
        }
        if ((events.revents & POLLIN) != 0) {
            char chunk[65536];
            const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
            if (got <= 0 || nghttp2_session_mem_recv(session, reinterpret_cast<uint8_t*>(chunk),
                                                     static_cast<std::size_t>(got)) < 0) {
                return false;
            }
        }
        if ((events.revents & POLLOUT) != 0) {
            const ssize_t put =
                ::send(fd, bytes.data() + sent, std::min<std::size_t>(bytes.size() - sent, 65536),
                       MSG_NOSIGNAL | MSG_DONTWAIT);
            if (put > 0) {
                sent += static_cast<std::size_t>(put);
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: h2_open_streams <port> <count>...\n");
        return 2;
    }
    nghttp2_session_callbacks* callbacks = nullptr;
    nghttp2_session_callbacks_new(&callbacks);
    nghttp2_session_callbacks_set_on_stream_close_callback(callbacks, &on_close);
    nghttp2_option* option = nullptr;
    nghttp2_option_new(&option);
    // nghttp2 would otherwise hold a client to 100 streams until the server's SETTINGS arrive.
    nghttp2_option_set_peer_max_concurrent_streams(option, 0xffffffffu);
    nghttp2_session* session = nullptr;
    nghttp2_session_client_new2(&session, callbacks, nullptr, option);
    nghttp2_option_del(option);
    nghttp2_session_callbacks_del(callbacks);

    static const std::string names[] = {":method", ":scheme",      ":authority",
                                        ":path",   "content-type", "content-length"};
    static const std::string values[] = {"POST", "http", "127.0.0.1", "/stop", "application/json",
                                         "4000"};
    std::vector<nghttp2_nv> nva;
    for (std::size_t i = 0; i < 6; ++i) {
        nva.push_back({reinterpret_cast<uint8_t*>(const_cast<char*>(names[i].data())),
                       reinterpret_cast<uint8_t*>(const_cast<char*>(values[i].data())),
                       names[i].size(), values[i].size(), NGHTTP2_NV_FLAG_NONE});
    }
    nghttp2_data_provider provider{};
    provider.read_callback = &never_ends;

    nghttp2_submit_settings(session, NGHTTP2_FLAG_NONE, nullptr, 0);
    std::vector<std::string> batches;
    std::string batch = pending(session);
    long opened = 0;
    for (int i = 2; i < argc; ++i) {
        const long count = std::strtol(argv[i], nullptr, 10);
        for (; opened < count; ++opened) {
            nghttp2_submit_request(session, nullptr, nva.data(), nva.size(), &provider, nullptr);
            batch += pending(session);
        }
        batches.push_back(std::move(batch));
        batch.clear();
    }

    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(std::strtoul(argv[1], nullptr, 10)));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::perror("h2_open_streams: connect");
        return 1;
    }
    for (std::size_t i = 0; i < batches.size(); ++i) {
        if (!exchange(fd, session, batches[i])) {
            std::fprintf(stderr, "h2_open_streams: the server closed the connection\n");
            return 1;
        }
        std::printf("%s %zu\n", argv[i + 2], refused);
        std::fflush(stdout);
        std::string line;
        if (!std::getline(std::cin, line)) {
            break;
        }
    }
    ::close(fd);
    nghttp2_session_del(session);
    return 0;
}
