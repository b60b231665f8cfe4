#include "service/peer/accept_loop.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/experimental/channel.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <deque>
#include <exception>
#include <thread>
#include <utility>
#include <vector>

#include "error.hpp"
#include "service/hub/helper_log.hpp"
#include "service/peer/owner_check.hpp"

namespace drovane::peer {

namespace detail {

// What the accepting loop and the judging loop share, on the listener's strand. Held also by a
// judgement that may outlive the listener: the pool finishes a table read after a stop.
struct AdmissionState {
    using Signal = boost::asio::experimental::channel<void(boost::system::error_code)>;

    explicit AdmissionState(const boost::asio::any_io_executor& executor)
        : arrivals(executor, 1), room(executor, 1), judged(executor, 1) {}

    // Wakes both loops for good; a judgement finishing later finds it stopped.
    void stop() {
        stopped = true;
        arrivals.close();
        room.close();
        judged.close();
    }

    bool stopped = false;
    // Accepted and not yet judged, in the order of their accept.
    std::deque<boost::asio::ip::tcp::socket> waiting;
    Signal arrivals;  // accepting -> judging: connections wait
    Signal room;      // judging -> accepting: the queue has room again
    Signal judged;    // the pool -> judging: `verdicts` holds the batch's verdicts
    std::optional<std::vector<Verdict>> verdicts;
};

}  // namespace detail

namespace {

using boost::asio::ip::tcp;
using detail::AdmissionState;

constexpr auto kNoThrow = boost::asio::as_tuple(boost::asio::use_awaitable);

// The runtime creates accepted sockets inheritable; like the listener, a connection must never
// reach a child process such as the Core. A failure here changes nothing else.
void keep_from_children(tcp::socket& connection) {
    const SOCKET socket = connection.native_handle();
    ::SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
}

// Failures of one connection, not of the listener: its client reset or abandoned it while it
// waited in the backlog. Skipped at once, without a pause, so that a client cannot slow the
// accepting of everyone else with them.
bool client_went_away(const boost::system::error_code& error) {
    return error == boost::asio::error::connection_reset ||
           error == boost::asio::error::connection_aborted ||
           error == boost::asio::error::network_reset || error == boost::asio::error::timed_out;
}

void pass_to_inspector(Listener& listener, boost::system::error_code& error,
                       const tcp::socket& connection) {
    if (listener.inspect_accept_for_testing) {
        listener.inspect_accept_for_testing(error, connection);
    }
}

// Moves the connections already waiting in the backlog into the queue, without waiting for
// more. A plain accept on the non-blocking listener: Asio's synchronous accept, meeting a
// connection its client aborted, waits with no timeout for the next one.
void take_waiting_connections(Listener& listener, AdmissionState& state,
                              const boost::asio::any_io_executor& connection_executor) {
    while (state.waiting.size() < kMaxAdmissionBatch) {
        const SOCKET accepted = ::accept(listener.acceptor.native_handle(), nullptr, nullptr);
        boost::system::error_code error;
        tcp::socket connection(connection_executor);
        if (accepted == INVALID_SOCKET) {
            const int code = ::WSAGetLastError();
            if (code == WSAEWOULDBLOCK) {
                return;  // the backlog is empty
            }
            error.assign(code, boost::asio::error::get_system_category());
        } else {
            connection.assign(tcp::v4(), accepted, error);
            if (error) {
                ::closesocket(accepted);
            }
        }
        pass_to_inspector(listener, error, connection);
        if (error) {
            close_abortively(connection);
            if (client_went_away(error)) {
                continue;
            }
            return;  // a failure that lasts meets the next awaited accept, which logs it
        }
        keep_from_children(connection);
        state.waiting.push_back(std::move(connection));
    }
}

boost::asio::awaitable<void> accept_connections(Listener& listener,
                                                std::shared_ptr<AdmissionState> state,
                                                boost::asio::any_io_executor connection_executor,
                                                hub::HelperLogList& log) {
    // Draining the backlog needs the listener non-blocking; without it only awaited accepts run.
    boost::system::error_code mode_error;
    listener.acceptor.non_blocking(true, mode_error);
    const bool can_drain = !mode_error;
    while (listener.acceptor.is_open() && !state->stopped) {
        if (state->waiting.size() >= kMaxAdmissionBatch) {
            (void)co_await state->room.async_receive(kNoThrow);
            continue;
        }
        auto [error, connection] =
            co_await listener.acceptor.async_accept(connection_executor, kNoThrow);
        if (!listener.acceptor.is_open() || state->stopped) {
            close_abortively(connection);  // closed for shutdown
            break;
        }
        pass_to_inspector(listener, error, connection);
        if (error) {
            close_abortively(connection);  // not held through the pause
            if (client_went_away(error)) {
                continue;
            }
            log.append("Helper could not accept a connection: " +
                       Error::os(static_cast<std::uint32_t>(error.value())).text());
            if (!listener.pause) {
                try {
                    listener.pause.emplace(listener.acceptor.get_executor());
                } catch (const std::exception&) {
                    // No timer could be made: pause this worker instead.
                    std::this_thread::sleep_for(kAcceptRetryPause);
                    continue;
                }
            }
            listener.pause->expires_after(kAcceptRetryPause);
            (void)co_await listener.pause->async_wait(kNoThrow);
            continue;
        }
        keep_from_children(connection);
        state->waiting.push_back(std::move(connection));
        if (can_drain) {
            take_waiting_connections(listener, *state, connection_executor);
        }
        (void)state->arrivals.try_send(boost::system::error_code{});
    }
}

// One batch's judgement on the pool. Delivers the verdicts unless the admission has stopped
// meanwhile; the state it holds keeps what it touches alive until then.
boost::asio::awaitable<void> run_judgement(
    std::shared_ptr<AdmissionState> state, BlockingPool& judges,
    std::shared_ptr<const std::vector<std::optional<ConnectionEnds>>> ends, std::string owner_sid,
    TcpTableReader read_table) {
    // A named std::function, moved into the pool's call: GCC 12 destroys a temporary argument
    // of a co_await expression twice, which a lambda that owns a string does not survive.
    std::function<std::vector<Verdict>()> task = [ends, owner_sid, read_table] {
        return judge_connections(*ends, owner_sid, read_table);
    };
    Result<std::vector<Verdict>> verdicts = co_await judges.run(std::move(task));
    if (state->stopped) {
        co_return;
    }
    state->verdicts =
        verdicts ? std::move(*verdicts) : std::vector<Verdict>(ends->size(), kOtherAccount);
    (void)state->judged.try_send(boost::system::error_code{});
}

boost::asio::awaitable<void> judge_batches(std::shared_ptr<AdmissionState> state,
                                           std::string owner_sid, BlockingPool& judges,
                                           TcpTableReader read_table,
                                           std::function<void(tcp::socket)> serve,
                                           hub::HelperLogList& log) {
    const boost::asio::any_io_executor executor = co_await boost::asio::this_coro::executor;
    std::vector<tcp::socket> batch;
    while (!state->stopped) {
        if (state->waiting.empty()) {
            (void)co_await state->arrivals.async_receive(kNoThrow);
            continue;
        }
        batch.clear();
        for (tcp::socket& connection : state->waiting) {
            batch.push_back(std::move(connection));
        }
        state->waiting.clear();
        (void)state->room.try_send(boost::system::error_code{});

        auto ends = std::make_shared<std::vector<std::optional<ConnectionEnds>>>();
        ends->reserve(batch.size());
        for (tcp::socket& accepted : batch) {
            ends->push_back(read_connection_ends(accepted.native_handle()));
        }
        // The snapshot is taken only on the pool, after the last accept: it is newer than
        // every connection it judges.
        state->verdicts.reset();
        boost::asio::co_spawn(executor, run_judgement(state, judges, ends, owner_sid, read_table),
                              boost::asio::detached);
        (void)co_await state->judged.async_receive(kNoThrow);
        if (state->stopped || !state->verdicts || state->verdicts->size() != batch.size()) {
            break;
        }
        const std::vector<Verdict> verdicts = std::move(*state->verdicts);
        state->verdicts.reset();
        for (std::size_t i = 0; i < batch.size(); ++i) {
            if (verdicts[i].admitted) {
                serve(std::move(batch[i]));
            } else {
                refuse_connection(std::move(batch[i]), verdicts[i], log);
            }
        }
        batch.clear();
    }
    // Stopped: nothing unjudged is served.
    for (tcp::socket& connection : batch) {
        close_abortively(connection);
    }
    for (tcp::socket& connection : state->waiting) {
        close_abortively(connection);
    }
    state->waiting.clear();
}

}  // namespace

Listener::~Listener() {
    if (admission) {
        admission->stop();
    }
}

void Listener::close() {
    boost::system::error_code ignored;
    acceptor.close(ignored);
    if (pause) {
        pause->cancel();
    }
    if (admission) {
        admission->stop();
    }
}

boost::asio::awaitable<void> admit_connections(Listener& listener, std::string owner_sid,
                                               boost::asio::any_io_executor connection_executor,
                                               BlockingPool& judges,
                                               std::function<void(tcp::socket)> serve,
                                               hub::HelperLogList& log) {
    auto state = std::make_shared<AdmissionState>(co_await boost::asio::this_coro::executor);
    listener.admission = state;
    if (!listener.acceptor.is_open()) {
        state->stop();
    }
    TcpTableReader read_table = listener.read_table_for_testing;
    if (!read_table) {
        read_table = [] { return read_tcp_owner_table(); };
    }
    using namespace boost::asio::experimental::awaitable_operators;
    co_await (accept_connections(listener, state, std::move(connection_executor), log) &&
              judge_batches(state, std::move(owner_sid), judges, std::move(read_table),
                            std::move(serve), log));
}

}  // namespace drovane::peer
