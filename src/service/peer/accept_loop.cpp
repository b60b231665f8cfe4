#include "service/peer/accept_loop.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <exception>
#include <thread>
#include <vector>

#include "error.hpp"
#include "service/hub/helper_log.hpp"
#include "service/peer/owner_check.hpp"

namespace drovane::peer {

namespace {

using boost::asio::ip::tcp;

constexpr auto kNoThrow = boost::asio::as_tuple(boost::asio::use_awaitable);

// The runtime creates accepted sockets inheritable; like the listener, a connection must never
// reach a child process such as the Core. A failure here changes nothing else.
void keep_from_children(tcp::socket& connection) {
    const SOCKET socket = connection.native_handle();
    ::SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
}

// Adds to `batch` the connections already waiting in the backlog, without waiting for more.
void take_waiting_connections(Listener& listener, std::vector<tcp::socket>& batch,
                              const boost::asio::any_io_executor& connection_executor) {
    boost::system::error_code error;
    listener.acceptor.non_blocking(true, error);
    while (!error && batch.size() < kMaxAdmissionBatch) {
        tcp::socket connection(connection_executor);
        listener.acceptor.accept(connection, error);
        if (error == boost::asio::error::would_block) {
            break;  // the backlog is empty
        }
        if (listener.inspect_accept_for_testing) {
            listener.inspect_accept_for_testing(error, connection);
        }
        if (error) {
            // Ends the batch; a failure that lasts meets the next awaited accept, which logs it.
            break;
        }
        keep_from_children(connection);
        batch.push_back(std::move(connection));
    }
}

}  // namespace

boost::asio::awaitable<std::optional<tcp::socket>> accept_owner_connection(
    Listener& listener, std::string_view owner_sid,
    boost::asio::any_io_executor connection_executor, hub::HelperLogList& log) {
    while (listener.acceptor.is_open()) {
        if (!listener.admitted.empty()) {
            tcp::socket next = std::move(listener.admitted.front());
            listener.admitted.pop_front();
            co_return std::move(next);
        }
        auto [error, connection] =
            co_await listener.acceptor.async_accept(connection_executor, kNoThrow);
        if (!listener.acceptor.is_open()) {
            break;  // closed for shutdown; a connection accepted meanwhile is dropped
        }
        if (listener.inspect_accept_for_testing) {
            listener.inspect_accept_for_testing(error, connection);
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
        std::vector<tcp::socket> batch;
        keep_from_children(connection);
        batch.push_back(std::move(connection));
        take_waiting_connections(listener, batch, connection_executor);

        // The snapshot is taken only now, after the last accept: it is newer than every
        // connection it judges.
        std::vector<std::optional<ConnectionEnds>> ends;
        ends.reserve(batch.size());
        for (tcp::socket& accepted : batch) {
            ends.push_back(read_connection_ends(accepted.native_handle()));
        }
        const TcpTableReader system_table = [] { return read_tcp_owner_table(); };
        std::vector<Verdict> verdicts = judge_connections(
            ends, owner_sid,
            listener.read_table_for_testing ? listener.read_table_for_testing : system_table);
        for (std::size_t i = 0; i < batch.size(); ++i) {
            if (verdicts[i].admitted) {
                listener.admitted.push_back(std::move(batch[i]));
            } else {
                refuse_connection(std::move(batch[i]), verdicts[i], log);
            }
        }
    }
    co_return std::nullopt;
}

}  // namespace drovane::peer
