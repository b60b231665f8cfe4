// The drain against generated clients: every script a client could play, built from parts (the
// protocol, what it leaves half-sent, what it keeps sending and how often, whether it stops
// reading, the other requests it has open with large replies or not, resets), with the stop
// begun at a random moment. Whatever the script, the drain must end within its deadline plus
// the time of the Core operations still running, and must not leave a connection behind.
//
// A fixed set of seeds runs by default. DROVANE_DRAIN_SEED and DROVANE_DRAIN_COUNT run others:
// the first seed and how many scripts from there. A failure prints its seed and its script.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <future>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "loopback_front.hpp"
#include "service/hub/helper_log_list.hpp"
#include "service/hub/http/http_server.hpp"

namespace drovane::hub {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

enum class Half { head, body, nothing };
enum class Keep { body_bytes, ping, empty_data, window_update, settings, nothing };
enum class Reset { none, other_stream, half_stream_at_stop };

struct Script {
    std::uint64_t seed = 0;
    bool http2 = false;
    Half half = Half::nothing;
    Keep keep = Keep::nothing;
    std::chrono::milliseconds every{1000};
    bool stops_reading = false;
    int others = 0;              // other requests: HTTP/2 streams, or HTTP/1.1 pipelined ahead
    std::size_t reply_size = 0;  // of each other request's reply
    std::chrono::milliseconds core_time{0};  // of each other request's Core operation
    Reset reset = Reset::none;
    std::chrono::milliseconds stop_after{0};

    std::string describe() const {
        static const char* const halves[] = {"head", "body", "nothing"};
        static const char* const keeps[] = {"body bytes",    "PING",     "empty DATA",
                                            "WINDOW_UPDATE", "SETTINGS", "nothing"};
        static const char* const resets[] = {"none", "another stream", "the half-sent stream"};
        return std::string("seed ") + std::to_string(seed) + ": " +
               (http2 ? "HTTP/2" : "HTTP/1.1") + ", half-sent " + halves[static_cast<int>(half)] +
               ", keeps sending " + keeps[static_cast<int>(keep)] + " every " +
               std::to_string(every.count()) + " ms, " +
               (stops_reading ? "stops reading" : "reads") + ", " + std::to_string(others) +
               " other requests with " + std::to_string(reply_size) + "-byte replies after " +
               std::to_string(core_time.count()) + " ms in the Core, reset " +
               resets[static_cast<int>(reset)] + ", stop after " +
               std::to_string(stop_after.count()) + " ms";
    }
};

Script generate(std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    auto pick = [&rng](std::uint64_t n) { return static_cast<int>(rng() % n); };
    Script s;
    s.seed = seed;
    s.http2 = pick(3) != 0;
    s.half = static_cast<Half>(pick(3));
    // What each protocol can keep sending: HTTP/1.1 only more of what it left half-sent.
    if (s.http2) {
        s.keep = static_cast<Keep>(pick(6));
        if ((s.keep == Keep::body_bytes || s.keep == Keep::empty_data) && s.half != Half::body) {
            s.keep = Keep::ping;
        }
    } else {
        s.keep = s.half != Half::nothing && pick(3) != 0 ? Keep::body_bytes : Keep::nothing;
    }
    s.every = std::chrono::milliseconds(300 + pick(17) * 100);  // up to 1.9 s
    s.stops_reading = pick(3) == 0;
    s.others = pick(4);
    s.reply_size = pick(2) == 0 ? 256 * 1024 : 16;
    s.core_time = std::chrono::milliseconds(pick(11) * 100);
    if (s.http2) {
        s.reset = static_cast<Reset>(pick(3));
        if ((s.reset == Reset::other_stream && s.others == 0) ||
            (s.reset == Reset::half_stream_at_stop && s.half == Half::nothing)) {
            s.reset = Reset::none;
        }
    }
    s.stop_after = std::chrono::milliseconds(pick(26) * 100);
    return s;
}

// HTTP/2 frames as bytes, and the literal header fields of HPACK (no table, no Huffman).
std::string frame(std::uint8_t type, std::uint8_t flags, std::uint32_t stream,
                  const std::string& payload) {
    std::string out;
    const std::size_t n = payload.size();
    out += static_cast<char>(n >> 16);
    out += static_cast<char>(n >> 8);
    out += static_cast<char>(n);
    out += static_cast<char>(type);
    out += static_cast<char>(flags);
    for (int shift = 24; shift >= 0; shift -= 8) {
        out += static_cast<char>(stream >> shift);
    }
    return out + payload;
}

std::string u32(std::uint32_t value) {
    std::string out;
    for (int shift = 24; shift >= 0; shift -= 8) {
        out += static_cast<char>(value >> shift);
    }
    return out;
}

std::string header_block(const std::vector<std::pair<std::string, std::string>>& fields) {
    std::string out;
    for (const auto& [name, value] : fields) {
        out += '\0';
        out += static_cast<char>(name.size());
        out += name;
        out += static_cast<char>(value.size());
        out += value;
    }
    return out;
}

constexpr std::uint8_t kData = 0, kHeaders = 1, kRstStream = 3, kSettings = 4, kPing = 6,
                       kWindowUpdate = 8;
constexpr std::uint8_t kEndStream = 1, kEndHeaders = 4;

std::string ping_path(const Script& s) {
    return "/ping?coreSha256=d" + std::to_string(s.core_time.count()) + "l" +
           std::to_string(s.reply_size);
}

const std::string kStopHead =
    "POST /stop HTTP/1.1\r\nHost: 127.0.0.1\r\n"
    "Content-Type: application/json\r\nContent-Length: 220\r\n\r\n";
const std::string kStopBodyStart = "{\"sessionI";

// What the client sends on connecting, and what it sends each time after.
struct Wire {
    std::string opening;
    std::string repeated;
    std::string at_stop;
};

Wire wire(const Script& s) {
    Wire w;
    if (!s.http2) {
        for (int i = 0; i < s.others; ++i) {
            w.opening += "GET " + ping_path(s) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        }
        if (s.half == Half::head) {
            w.opening += "POST /stop HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Long: ";
            w.repeated = "x";
        } else if (s.half == Half::body) {
            w.opening += kStopHead + kStopBodyStart;
            w.repeated = " ";
        }
        if (s.keep == Keep::nothing) {
            w.repeated.clear();
        }
        return w;
    }
    // The largest windows, so that large replies fill the socket rather than wait for credit.
    w.opening = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n" +
                frame(kSettings, 0, 0, std::string("\x00\x04", 2) + u32(0x7fffffff)) +
                frame(kWindowUpdate, 0, 0, u32(0x7fffffff - 65535));
    std::uint32_t id = 1;
    for (int i = 0; i < s.others; ++i, id += 2) {
        w.opening += frame(kHeaders, kEndHeaders | kEndStream, id,
                           header_block({{":method", "GET"},
                                         {":scheme", "http"},
                                         {":authority", "127.0.0.1"},
                                         {":path", ping_path(s)}}));
        if (s.reset == Reset::other_stream && i == 0) {
            w.opening += frame(kRstStream, 0, id, u32(8));  // CANCEL
        }
    }
    const std::string stop_block = header_block({{":method", "POST"},
                                                 {":scheme", "http"},
                                                 {":authority", "127.0.0.1"},
                                                 {":path", "/stop"},
                                                 {"content-type", "application/json"},
                                                 {"content-length", "220"}});
    if (s.half == Half::head) {
        w.opening += frame(kHeaders, 0, id, stop_block);  // CONTINUATION never follows
    } else if (s.half == Half::body) {
        w.opening +=
            frame(kHeaders, kEndHeaders, id, stop_block) + frame(kData, 0, id, kStopBodyStart);
    }
    if (s.reset == Reset::half_stream_at_stop) {
        w.at_stop = frame(kRstStream, 0, id, u32(8));
    }
    switch (s.keep) {
        case Keep::body_bytes:
            w.repeated = frame(kData, 0, id, " ");
            break;
        case Keep::ping:
            w.repeated = frame(kPing, 0, 0, "pingpong");
            break;
        case Keep::empty_data:
            w.repeated = frame(kData, 0, id, "");
            break;
        case Keep::window_update:
            w.repeated = frame(kWindowUpdate, 0, 0, u32(1));
            break;
        case Keep::settings:
            w.repeated = frame(kSettings, 0, 0, "");
            break;
        case Keep::nothing:
            break;
    }
    return w;
}

// The client side of one script on a blocking socket, until `done` is set or the server closes.
class ScriptClient {
  public:
    ScriptClient(const Script& script, std::uint16_t port) : script_(script), wire_(wire(script)) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        if (script.stops_reading) {
            const int small = 4096;  // fills at once behind a large reply
            ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        }
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        thread_ = std::thread([this] { run(); });
    }
    ~ScriptClient() {
        done_ = true;
        thread_.join();
        ::close(fd_);
    }
    ScriptClient(const ScriptClient&) = delete;
    ScriptClient& operator=(const ScriptClient&) = delete;

    void stop_begins() { stop_begun_ = true; }

  private:
    bool send_all(const std::string& bytes) {
        std::size_t sent = 0;
        while (sent < bytes.size() && !done_) {
            pollfd fd{fd_, POLLOUT, 0};
            if (::poll(&fd, 1, 100) < 0) {
                return false;
            }
            if ((fd.revents & (POLLERR | POLLHUP)) != 0) {
                return false;
            }
            if ((fd.revents & POLLOUT) == 0) {
                continue;  // a client that does not read may also find its sending blocked
            }
            const ssize_t n =
                ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                return false;
            }
            sent += n > 0 ? static_cast<std::size_t>(n) : 0;
        }
        return true;
    }

    void run() {
        if (!connected_ || !send_all(wire_.opening)) {
            return;
        }
        bool sending = true;
        bool at_stop_sent = wire_.at_stop.empty();
        auto next = Clock::now() + script_.every;
        while (!done_) {
            if (!at_stop_sent && stop_begun_) {
                at_stop_sent = true;
                sending = send_all(wire_.at_stop) && sending;
            }
            if (sending && !wire_.repeated.empty() && Clock::now() >= next) {
                sending = send_all(wire_.repeated);
                next += script_.every;
            }
            pollfd fd{fd_, static_cast<short>(script_.stops_reading ? 0 : POLLIN), 0};
            ::poll(&fd, 1, 20);
            if ((fd.revents & POLLIN) != 0) {
                char chunk[65536];
                if (::recv(fd_, chunk, sizeof chunk, 0) <= 0) {
                    return;  // the server has ended the connection
                }
            }
        }
    }

    const Script script_;
    const Wire wire_;
    int fd_ = -1;
    bool connected_ = false;
    std::atomic<bool> done_{false};
    std::atomic<bool> stop_begun_{false};
    std::thread thread_;
};

struct Outcome {
    bool ended = false;
    std::chrono::milliseconds took{0};
    std::string log;
};

// Plays one script against a front of its own and times the drain.
Outcome play(const Script& script) {
    HelperLogList log(64);
    testing::LoopbackFront front(
        0,
        [](testing::RecordingCore& core) {
            // The digest says how long the Core takes and how large a reply it gives.
            core.ping_hook = [](const std::string& digest) -> PingOutcome {
                const std::size_t at = digest.find('l');
                std::this_thread::sleep_for(
                    std::chrono::milliseconds(std::stoi(digest.substr(1, at - 1))));
                return HelperPath{std::string(std::stoul(digest.substr(at + 1)), 'p')};
            };
        },
        log);
    Outcome outcome;
    {
        ScriptClient client(script, front.port);
        std::this_thread::sleep_for(script.stop_after);
        const auto began = Clock::now();
        std::future<void> drained = front.start_drain();
        client.stop_begins();
        // The drain's deadline, the Core operations still running, and room for a loaded machine.
        const auto bound = kDrainTime + script.core_time + 3s;
        outcome.ended = drained.wait_for(bound) == std::future_status::ready;
        outcome.took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - began);
    }
    outcome.log = log.text();
    return outcome;
}

std::uint64_t from_env(const char* name, std::uint64_t otherwise) {
    const char* text = std::getenv(name);
    return text != nullptr ? std::strtoull(text, nullptr, 10) : otherwise;
}

TEST(HttpDrain, EveryGeneratedClientSeesTheDrainEndInBound) {
    const std::uint64_t first = from_env("DROVANE_DRAIN_SEED", 1);
    const std::uint64_t count = from_env("DROVANE_DRAIN_COUNT", 32);
    std::atomic<std::uint64_t> next{0};
    std::mutex lock;
    std::vector<std::string> failures;
    long long slowest = 0;
    auto worker = [&] {
        for (std::uint64_t i = next++; i < count; i = next++) {
            const Script script = generate(first + i);
            const Outcome outcome = play(script);
            std::lock_guard<std::mutex> guard(lock);
            slowest = std::max<long long>(slowest, outcome.took.count());
            if (!outcome.ended) {
                failures.push_back(script.describe() + "\n  the drain had not ended after " +
                                   std::to_string(outcome.took.count()) + " ms");
            } else if (outcome.log.find("behind") != std::string::npos) {
                failures.push_back(script.describe() + "\n  the drain left connections behind (" +
                                   outcome.log + ")");
            }
        }
    };
    // Scripts spend most of their time waiting on the clock; a few run side by side.
    std::vector<std::thread> workers;
    for (int i = 0; i < 4; ++i) {
        workers.emplace_back(worker);
    }
    for (std::thread& t : workers) {
        t.join();
    }
    std::printf("%llu scripts from seed %llu, slowest drain %lld ms\n",
                static_cast<unsigned long long>(count), static_cast<unsigned long long>(first),
                slowest);
    for (const std::string& failure : failures) {
        ADD_FAILURE() << failure;
    }
}

}  // namespace
}  // namespace drovane::hub
