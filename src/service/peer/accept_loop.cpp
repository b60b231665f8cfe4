#include "service/peer/accept_loop.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <exception>
#include <thread>

#include "error.hpp"
#include "service/hub/helper_log.hpp"
#include "service/peer/owner_check.hpp"

namespace drovane::peer {

namespace {

constexpr auto kNoThrow = boost::asio::as_tuple(boost::asio::use_awaitable);

}  // namespace

boost::asio::awaitable<std::optional<boost::asio::ip::tcp::socket>> accept_owner_connection(
    Listener& listener, std::string_view owner_sid,
    boost::asio::any_io_executor connection_executor, hub::HelperLogList& log) {
    while (listener.acceptor.is_open()) {
        auto [error, connection] =
            co_await listener.acceptor.async_accept(connection_executor, kNoThrow);
        if (!listener.acceptor.is_open()) {
            break;  // closed for shutdown; a connection accepted meanwhile is dropped
        }
        if (listener.inspect_accept) {
            listener.inspect_accept(error);
        }
        if (error) {
            boost::system::error_code ignored;
            connection.close(ignored);  // not held through the pause
            log.append("Helper could not accept a connection: " +
                       Error::os(static_cast<std::uint32_t>(error.value())).text());
            if (!listener.pause) {
                try {
                    listener.pause.emplace(listener.acceptor.get_executor());
                } catch (const std::exception&) {
                    // No timer (its thread could not start): pause this worker instead.
                    std::this_thread::sleep_for(kAcceptRetryPause);
                    continue;
                }
            }
            listener.pause->expires_after(kAcceptRetryPause);
            (void)co_await listener.pause->async_wait(kNoThrow);
            continue;
        }
        // The runtime creates accepted sockets inheritable; like the listener, a connection must
        // never reach a child process such as the Core. A failure here changes nothing else.
        const SOCKET socket = connection.native_handle();
        ::SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
        if (is_owner_connection(socket, owner_sid)) {
            co_return std::move(connection);
        }
        refuse_connection(std::move(connection), log);
    }
    co_return std::nullopt;
}

}  // namespace drovane::peer
