#include "service/windows/endpoint_server.hpp"

#include <winsvc.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <exception>
#include <optional>
#include <utility>

#include "service/hub/api/router.hpp"
#include "service/hub/http/http_server.hpp"
#include "service/peer/accept_loop.hpp"
#include "service/windows/port_publication.hpp"
#include "win/handles.hpp"

// The Windows SDK has it; the MinGW-w64 headers do not.
#ifndef WSA_FLAG_NO_HANDLE_INHERIT
#define WSA_FLAG_NO_HANDLE_INHERIT 0x80
#endif

namespace drovane::win {

namespace {

namespace asio = boost::asio;
using asio::ip::tcp;

constexpr ServiceStatus kRunningStatus{SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0, 0};
constexpr ServiceStatus kStopPendingStatus{SERVICE_STOP_PENDING, 0, 0, 1, 10000};
// The largest backlog Windows allows (Windows 8 and later take a hint of up to 65535; Wine
// passes it on to the host, which caps it at its own maximum); a system that refuses the hint
// gets SOMAXCONN, its own "reasonable maximum". A deep backlog holds the owner's connection
// while a flood waits to be judged.
#ifndef SOMAXCONN_HINT
#define SOMAXCONN_HINT(backlog) (-(backlog))
#endif
constexpr int kListenBacklogHint = SOMAXCONN_HINT(65535);

// The socket layer's error for the call that just failed on this thread.
Error last_socket_error() {
    return Error::os(static_cast<std::uint32_t>(::WSAGetLastError()));
}

// Creates the listening socket on 127.0.0.1 at a port the system picks and registers it with
// the runtime's reactor through `acceptor`. The socket is never inherited by a child process
// (the Core included) and is non-blocking before it is bound. Fails with the OS error of the
// call that failed; the caller names the step.
Status bind_listener(tcp::acceptor& acceptor) {
    unique_socket socket(::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                      WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT));
    if (!socket) {
        return last_socket_error();
    }
    u_long non_blocking = 1;
    if (::ioctlsocket(socket.get(), FIONBIO, &non_blocking) != 0) {
        return last_socket_error();
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        return last_socket_error();
    }
    if (::listen(socket.get(), kListenBacklogHint) != 0 && ::listen(socket.get(), SOMAXCONN) != 0) {
        return last_socket_error();
    }
    boost::system::error_code error;
    acceptor.assign(tcp::v4(), socket.get(), error);
    if (error) {
        return Error::os(static_cast<std::uint32_t>(error.value()));
    }
    static_cast<void>(socket.release());  // the acceptor owns it now
    return {};
}

Result<std::uint16_t> read_listener_port(tcp::acceptor& acceptor) {
    sockaddr_in address{};
    int length = sizeof(address);
    if (::getsockname(acceptor.native_handle(), reinterpret_cast<sockaddr*>(&address), &length) !=
        0) {
        return last_socket_error();
    }
    return static_cast<std::uint16_t>(ntohs(address.sin_port));
}

// Withdraws the published port when serving ends on any path, including the destruction of
// this operation's frame by a runtime teardown before it could finish.
class PublishedPort {
  public:
    PublishedPort() = default;
    PublishedPort(const PublishedPort&) = delete;
    PublishedPort& operator=(const PublishedPort&) = delete;
    ~PublishedPort() { withdraw(); }

    void withdraw() {
        if (std::exchange(published_, false)) {
            withdraw_port();
        }
    }

  private:
    bool published_ = true;
};

// The shutdown waiter: fires at the first change of the flag or when its sending side goes
// away, reports StopPending (a failed report changes nothing) and stops accepting.
asio::awaitable<void> wait_for_shutdown(ShutdownReceiver& shutdown, StatusReporter& status,
                                        peer::Listener& listener) {
    // A change between the caller's first look and this wait counts as the change.
    if (!shutdown.value()) {
        co_await shutdown.changed();
    }
    (void)status.report(kStopPendingStatus);
    listener.close();
}

// Hands every admitted connection to a task of its own until the listener is closed. Judging
// runs on the blocking pool, so that neither accepting nor the shutdown waiter waits for a read
// of the TCP table.
asio::awaitable<void> accept_connections(peer::Listener& listener, const std::string& owner_sid,
                                         hub::ConnectionSet& connections, Runtime& runtime) {
    co_await peer::admit_connections(
        listener, owner_sid, runtime.executor(), runtime.blocking_pool(),
        [&connections](tcp::socket connection) { connections.serve(std::move(connection)); });
}

// The whole run on one strand: the server task and its accept loop never run at the same time,
// so closing the listener at shutdown cannot race a pending accept.
asio::awaitable<Status> serve(std::string owner_sid, ShutdownReceiver shutdown,
                              StatusReporter& status, Runtime& runtime, hub::CoreOperations& core) {
    peer::Listener listener(co_await asio::this_coro::executor);

    DROVANE_CO_RETURN_IF_ERROR_MSG(bind_listener(listener.acceptor), "bind helper server");
    Result<std::uint16_t> port = read_listener_port(listener.acceptor);
    DROVANE_CO_RETURN_IF_ERROR_MSG(port, "read helper server port");
    DROVANE_CO_RETURN_IF_ERROR(publish_port(*port));
    PublishedPort published;
    if (Status running = status.report(kRunningStatus); !running) {
        published.withdraw();
        listener.close();
        co_return std::move(running).error().context("report helper service running");
    }

    // Routing is set up once and shared read-only by every connection, each of which keeps it:
    // a connection task the drain leaves behind may outlive this frame.
    auto router = std::make_shared<const hub::RequestRouter>(core, runtime.blocking_pool());
    hub::ConnectionSet connections(runtime.executor(), std::move(router));

    if (shutdown.value()) {
        // Already asked to stop: no connection is accepted at all.
        (void)status.report(kStopPendingStatus);
        listener.close();
    } else {
        using namespace asio::experimental::awaitable_operators;
        co_await (wait_for_shutdown(shutdown, status, listener) &&
                  accept_connections(listener, owner_sid, connections, runtime));
    }

    co_await connections.drain();
    published.withdraw();
    core.stop_core_on_shutdown();
    co_return Status{};
}

}  // namespace

asio::awaitable<Status> run_endpoint_server(std::string owner_sid, ShutdownReceiver shutdown,
                                            StatusReporter& status, Runtime& runtime,
                                            hub::CoreOperations& core) {
    try {
        co_return co_await asio::co_spawn(
            asio::make_strand(runtime.executor()),
            serve(std::move(owner_sid), std::move(shutdown), status, runtime, core),
            asio::use_awaitable);
    } catch (const std::exception& failure) {
        co_return Error(failure.what()).context("serve helper endpoint");
    }
}

}  // namespace drovane::win
