// A real browser against the Host and Origin rules: headless Chromium loads a hostile page
// (hostile_page.html) from a name that resolves to 127.0.0.1, from 127.0.0.1 on another port and
// from a file: URL, and the page sends everything a page can send to the HTTP front (the real
// router over a recording Core, real connections on loopback).
//
// The name is rebound the way DNS rebinding works: the page is first served from
// http://<name>:<port> by the test's own server, which then closes that port; the Helper's front
// opens the same port, and the page's requests to its own origin now reach the Helper as
// same-origin requests, which carry no Origin header when they are GETs. Only the Host rule
// stands in their way.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/use_future.hpp>
#include <boost/asio/write.hpp>
#include <boost/json.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fakes/recording_core.hpp"
#include "loopback_front.hpp"
#include "service/hub/http/http_server.hpp"
#include "service/runtime.hpp"

namespace drovane::hub {
namespace {

namespace asio = boost::asio;
namespace fs = std::filesystem;
using asio::ip::tcp;
using namespace std::chrono_literals;

constexpr const char* kChromium = "/usr/bin/chromium";
constexpr const char* kReboundName = "rebound.test";
const asio::ip::address kLoopback = asio::ip::make_address("127.0.0.1");

std::string read_whole(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The test's own web server: serves the hostile page, takes the page's reports, and holds the
// page's "go" request until the Helper listens. One thread, plain HTTP/1.1 with
// "connection: close" on every reply, so the browser keeps no connection to a port that
// changes hands.
class PageServer {
  public:
    PageServer()
        : page_(read_whole(DROVANE_HOSTILE_PAGE)),
          gate_(io_, asio::steady_timer::time_point::max()),
          reports_(io_, tcp::endpoint(kLoopback, 0)),
          rebound_(io_, tcp::endpoint(kLoopback, 0)) {
        report_port = reports_.local_endpoint().port();
        rebound_port = rebound_.local_endpoint().port();
        asio::co_spawn(io_, accept(reports_), asio::detached);
        asio::co_spawn(io_, accept(rebound_), asio::detached);
        thread_ = std::thread([this] { io_.run(); });
    }
    ~PageServer() {
        io_.stop();
        thread_.join();
    }

    // Closes the port the rebound name pointed at, so that the Helper can take it, and every
    // connection that came through it: the browser may hold one it opened ahead of need, and
    // must make a new one, to the Helper, for its next request there.
    void give_up_rebound_port() {
        asio::post(io_, asio::use_future([this] {
                       boost::system::error_code ignored;
                       rebound_.close(ignored);
                       for (const auto& connection : rebound_connections_) {
                           connection->close(ignored);
                       }
                   }))
            .get();
    }
    // Lets every page's held "go" request through.
    void open_gate() {
        asio::post(io_, asio::use_future([this] {
                       gate_open_ = true;
                       gate_.cancel();
                   }))
            .get();
    }

    // Waits until `count` bodies were posted to `path`, the deadline passes or `gone` says
    // that no more will come.
    std::vector<std::string> wait_for(const std::string& path, std::size_t count,
                                      std::chrono::seconds timeout,
                                      const std::function<bool()>& gone) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        std::unique_lock lock(mutex_);
        while (posted_[path].size() < count && std::chrono::steady_clock::now() < deadline &&
               !gone()) {
            changed_.wait_for(lock, 200ms);
        }
        return posted_[path];
    }

    std::uint16_t report_port = 0;
    std::uint16_t rebound_port = 0;

  private:
    asio::awaitable<void> accept(tcp::acceptor& acceptor) {
        for (;;) {
            auto [ec, socket] = co_await acceptor.async_accept(asio::as_tuple(asio::use_awaitable));
            if (ec) {
                co_return;
            }
            auto connection = std::make_shared<tcp::socket>(std::move(socket));
            if (&acceptor == &rebound_) {
                rebound_connections_.push_back(connection);
            }
            asio::co_spawn(io_, serve(std::move(connection)), asio::detached);
        }
    }

    asio::awaitable<void> serve(std::shared_ptr<tcp::socket> connection) {
        tcp::socket& socket = *connection;
        using asio::as_tuple;
        using asio::use_awaitable;
        std::string buffer;
        auto [ec, head_size] = co_await asio::async_read_until(socket, asio::dynamic_buffer(buffer),
                                                               "\r\n\r\n", as_tuple(use_awaitable));
        if (ec) {
            co_return;
        }
        std::istringstream head(buffer.substr(0, head_size));
        std::string method;
        std::string target;
        head >> method >> target;
        std::size_t length = 0;
        for (std::string line; std::getline(head, line);) {
            for (char& c : line) {
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            }
            if (line.rfind("content-length:", 0) == 0) {
                length = std::stoul(line.substr(15));
            }
        }
        std::string body = buffer.substr(head_size);
        if (body.size() < length) {
            std::string rest(length - body.size(), '\0');
            auto [read_ec, n] =
                co_await asio::async_read(socket, asio::buffer(rest), as_tuple(use_awaitable));
            body += rest.substr(0, n);
        }
        const std::string path = target.substr(0, target.find('?'));

        std::string status = "204 No Content";
        std::string type;
        std::string content;
        if (path == "/hostile.html") {
            status = "200 OK";
            type = "text/html; charset=utf-8";
            content = page_;
        } else if (path == "/go") {
            if (!gate_open_) {
                co_await gate_.async_wait(as_tuple(use_awaitable));
            }
            status = "200 OK";
            type = "text/plain";
            content = "go";
        } else if (method == "POST") {
            std::lock_guard lock(mutex_);
            posted_[path].push_back(body);
            changed_.notify_all();
        } else {
            status = "404 Not Found";
        }
        std::string reply = "HTTP/1.1 " + status + "\r\nconnection: close\r\n" +
                            "access-control-allow-origin: *\r\n" +
                            "content-length: " + std::to_string(content.size()) + "\r\n";
        if (!type.empty()) {
            reply += "content-type: " + type + "\r\n";
        }
        reply += "\r\n" + content;
        co_await asio::async_write(socket, asio::buffer(reply), as_tuple(use_awaitable));
        boost::system::error_code ignored;
        socket.shutdown(tcp::socket::shutdown_send, ignored);
        socket.close(ignored);
    }

    const std::string page_;
    asio::io_context io_;
    asio::steady_timer gate_;
    bool gate_open_ = false;                                         // on the server's thread only
    std::vector<std::shared_ptr<tcp::socket>> rebound_connections_;  // the same
    tcp::acceptor reports_;
    tcp::acceptor rebound_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::string, std::vector<std::string>> posted_;
};

// Headless Chromium on one page, in a process group of its own that the destructor ends.
class Browser {
  public:
    Browser(const std::string& url, const std::string& label) {
        profile_ = fs::temp_directory_path() /
                   ("drovane-browser-" + std::to_string(::getpid()) + "-" + label);
        fs::remove_all(profile_);
        fs::create_directories(profile_);
        log_path = profile_ / "chromium.log";
        std::vector<std::string> arguments = {
            kChromium,
            "--headless=new",
            // The test runs as root in CI, where Chromium's sandbox cannot start.
            "--no-sandbox",
            "--no-zygote",
            "--disable-gpu",
            "--no-first-run",
            "--no-default-browser-check",
            "--disable-background-networking",
            "--disable-component-update",
            "--user-data-dir=" + profile_.string(),
            std::string("--host-resolver-rules=MAP ") + kReboundName + " 127.0.0.1",
        };
        arguments.push_back(url);
        std::vector<char*> argv;
        for (std::string& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);

        // The browser must not inherit the test's sockets, or a connection either server closes
        // would stay open in it.
        for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
            const int fd = std::atoi(entry.path().filename().c_str());
            if (fd > 2) {
                ::fcntl(fd, F_SETFD, FD_CLOEXEC);
            }
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, log_path.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attributes, 0);
        if (::posix_spawn(&pid_, kChromium, &actions, &attributes, argv.data(), environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    ~Browser() {
        if (pid_ > 0) {
            ::kill(-pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        std::error_code ignored;
        fs::remove_all(profile_, ignored);
    }
    bool started() const { return pid_ > 0; }
    // Whether the browser has ended (it then sends nothing more).
    bool ended() {
        if (pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
        }
        return pid_ <= 0;
    }
    std::string log_tail() const {
        const std::string text = read_whole(log_path);
        return text.size() > 4000 ? text.substr(text.size() - 4000) : text;
    }

    fs::path log_path;

  private:
    fs::path profile_;
    pid_t pid_ = -1;
};

struct Attempt {
    std::string page;
    std::string target;
    std::string attempt;
    std::string what;
    bool read = false;
    bool learned = false;
    std::int64_t ms = 0;
};

std::vector<Attempt> parse_results(const std::vector<std::string>& bodies, std::string& errors) {
    std::vector<Attempt> attempts;
    for (const std::string& body : bodies) {
        boost::system::error_code ec;
        const boost::json::value value = boost::json::parse(body, ec);
        if (ec || !value.is_object()) {
            errors += "unreadable report: " + body + "\n";
            continue;
        }
        const boost::json::object& report = value.as_object();
        const std::string page = boost::json::value_to<std::string>(report.at("page"));
        if (const auto* error = report.if_contains("error")) {
            errors += page + ": the page failed: " + boost::json::serialize(*error) + "\n";
            continue;
        }
        for (const boost::json::value& entry : report.at("results").as_array()) {
            const boost::json::object& result = entry.as_object();
            attempts.push_back(
                {page + " (" + boost::json::value_to<std::string>(report.at("origin")) + ")",
                 boost::json::value_to<std::string>(result.at("target")),
                 boost::json::value_to<std::string>(result.at("attempt")),
                 boost::json::value_to<std::string>(result.at("what")), result.at("read").as_bool(),
                 result.at("learned").as_bool(), result.at("ms").to_number<std::int64_t>()});
        }
    }
    return attempts;
}

// The plain client: a program's POST /start as the desktop client sends it.
std::string plain_start(std::uint16_t port, const std::string& session) {
    asio::io_context io;
    tcp::socket socket(io);
    socket.connect(tcp::endpoint(kLoopback, port));
    const std::string body = "{\"address\":\"\\\\\\\\.\\\\pipe\\\\DrovaneCore_" +
                             std::string(32, 'b') + "\",\"sessionId\":\"" + session + "\"}";
    const std::string request =
        "POST /start HTTP/1.1\r\nhost: 127.0.0.1:" + std::to_string(port) +
        "\r\ncontent-type: application/json\r\ncontent-length: " + std::to_string(body.size()) +
        "\r\nconnection: close\r\n\r\n" + body;
    asio::write(socket, asio::buffer(request));
    std::string reply;
    boost::system::error_code ec;
    asio::read(socket, asio::dynamic_buffer(reply), ec);
    return reply;
}

TEST(BrowserAgainstTheFront, HostilePagesReachNoStartOrStopAndReadNoReply) {
    ASSERT_TRUE(fs::exists(kChromium))
        << kChromium << " is missing: scripts/setup.sh installs Debian's chromium";

    PageServer pages;
    const std::string helper_port = std::to_string(pages.rebound_port);
    const std::string report = "http://127.0.0.1:" + std::to_string(pages.report_port);
    const std::string query =
        "?helper=" + helper_port + "&report=" + report + "&name=" + kReboundName + "&page=";
    const std::string rebound_origin = std::string("http://") + kReboundName + ":" + helper_port;
    const std::vector<std::string> labels = {"rebound", "loopback", "file"};
    // Each page pings with a digest of its own, which tells whose pings reached the Helper.
    const std::vector<std::string> digests = {std::string(64, '1'), std::string(64, '2'),
                                              std::string(64, '3')};
    const std::vector<std::string> urls = {
        rebound_origin + "/hostile.html" + query + "rebound&digest=" + digests[0],
        report + "/hostile.html" + query + "loopback&digest=" + digests[1],
        "file://" + std::string(DROVANE_HOSTILE_PAGE) + query + "file&digest=" + digests[2],
    };
    // One browser per page: headless Chromium opens only one.
    std::vector<std::unique_ptr<Browser>> browsers;
    for (const std::string& label : labels) {
        browsers.push_back(std::make_unique<Browser>(urls[browsers.size()], label));
        ASSERT_TRUE(browsers.back()->started()) << "could not start " << kChromium;
    }
    auto browsers_ended = [&] {
        bool all = true;
        for (auto& browser : browsers) {
            all = browser->ended() && all;
        }
        return all;
    };
    auto browser_logs = [&] {
        std::string text;
        for (auto& browser : browsers) {
            text += "Chromium (" + browser->log_path.string() + "):\n" + browser->log_tail();
        }
        return text;
    };

    const std::size_t pages_count = urls.size();
    const auto loaded = pages.wait_for("/loaded", pages_count, 20s, browsers_ended);
    ASSERT_EQ(loaded.size(), pages_count) << "pages loaded:\n"
                                          << ::testing::PrintToString(loaded) << "\n"
                                          << browser_logs();

    // The rebinding: the name's port now belongs to the Helper.
    pages.give_up_rebound_port();
    // The Helper's front, every connection admitted (the owner check is not what is tested here).
    testing::LoopbackFront front(pages.rebound_port);
    pages.open_gate();

    // Every attempt ends within the page's own limit of 15 s.
    const auto reports = pages.wait_for("/results", pages_count, 30s, browsers_ended);
    // Ended before the Core's calls are read, so that nothing a page sent arrives later.
    const std::string logs = reports.size() < pages_count ? browser_logs() : std::string();
    browsers.clear();
    const std::string session = std::string(32, 'c');
    const std::string started = plain_start(pages.rebound_port, session);

    std::string errors;
    const std::vector<Attempt> attempts = parse_results(reports, errors);
    std::ostringstream listing;
    for (const Attempt& a : attempts) {
        listing << (a.read      ? "READ    "
                    : a.learned ? "LEARNED "
                                : "        ")
                << a.page << " -> " << a.target << " " << a.attempt << ": " << a.what << " ("
                << a.ms << " ms)\n";
    }
    SCOPED_TRACE("what the pages tried and what came back:\n" + listing.str() +
                 "Helper connections accepted: " + std::to_string(front.accepted.load()) +
                 ", pings that reached the Core: " + std::to_string(front.core.count("ping")));

    EXPECT_EQ(reports.size(), pages_count) << logs;
    EXPECT_EQ(errors, "");
    EXPECT_GT(attempts.size(), 100u);
    // Nothing is read, and no script loads: what the rules admit (a GET with no Origin to an
    // allowed host name) is plain text that the browser refuses to run.
    for (const Attempt& a : attempts) {
        EXPECT_FALSE(a.read) << a.page << " read " << a.target << " " << a.attempt << ": "
                             << a.what;
        // An attempt without an outcome tells nothing either way.
        EXPECT_NE(a.what, "timeout") << a.page << " " << a.target << " " << a.attempt;
        EXPECT_FALSE(a.learned) << a.page << " learned " << a.target << " " << a.attempt << ": "
                                << a.what;
    }
    // The pages' requests reached the Helper, so the rules above were put to the test: a
    // browser that blocked every loopback request would fail each attempt on its own. Each
    // page's pings were admitted and reached the Core, and every fetch of the rebound page to
    // its own origin, which it may read, read the Helper's 403.
    for (std::size_t page = 0; page < labels.size(); ++page) {
        std::size_t pings = 0;
        for (const testing::RecordingCore::Call& call : front.core.calls()) {
            pings += call.operation == "ping" && call.arguments == std::vector{digests[page]};
        }
        EXPECT_GT(pings, 0u) << "no ping of the " << labels[page] << " page reached the Helper";
    }
    std::size_t same_origin = 0;
    for (const Attempt& a : attempts) {
        if (a.page.rfind("rebound ", 0) == 0 && a.target == rebound_origin &&
            a.attempt.rfind("fetch ", 0) == 0) {
            ++same_origin;
            EXPECT_EQ(a.what.rfind("403 ", 0), 0u) << a.attempt << ": " << a.what;
        }
    }
    EXPECT_GT(same_origin, 0u);

    // The plain client's start is the only start, and nothing stopped.
    EXPECT_NE(started.find("HTTP/1.1 200 OK"), std::string::npos) << started;
    std::vector<std::string> changes;
    for (const testing::RecordingCore::Call& call : front.core.calls()) {
        if (call.operation != "ping") {
            std::string line = call.operation;
            for (const std::string& argument : call.arguments) {
                line += " " + argument;
            }
            changes.push_back(line);
        }
    }
    const std::vector<std::string> expected = {"start \\\\.\\pipe\\DrovaneCore_" +
                                               std::string(32, 'b') + " " + session};
    EXPECT_EQ(changes, expected);
}

}  // namespace
}  // namespace drovane::hub
