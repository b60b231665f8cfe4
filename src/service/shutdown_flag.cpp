// shutdown_flag: a value, a change counter and a closed mark under one lock. Every waiter is a
// one-slot channel of its own on the waiting coroutine's executor; the flag holds it weakly, so a
// waiter that is abandoned (its coroutine destroyed with the runtime) simply drops out, and a
// change that happens before the waiter starts receiving is kept in the slot.
#include "service/shutdown_flag.hpp"

#include <boost/asio/experimental/concurrent_channel.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <mutex>
#include <vector>

namespace drovane {
namespace {

using WakeChannel = boost::asio::experimental::concurrent_channel<void(boost::system::error_code)>;

}  // namespace

struct ShutdownFlagState {
    std::mutex mutex;
    bool value = false;
    bool closed = false;
    std::uint64_t version = 0;
    std::size_t receivers = 0;
    std::vector<std::weak_ptr<WakeChannel>> waiters;

    // Takes the waiters under the lock the caller holds; they are woken after it is released.
    std::vector<std::weak_ptr<WakeChannel>> take_waiters() {
        std::vector<std::weak_ptr<WakeChannel>> taken;
        taken.swap(waiters);
        return taken;
    }
};

namespace {

void wake(const std::vector<std::weak_ptr<WakeChannel>>& waiters) {
    for (const std::weak_ptr<WakeChannel>& weak : waiters) {
        if (std::shared_ptr<WakeChannel> channel = weak.lock()) {
            channel->try_send(boost::system::error_code());
        }
    }
}

}  // namespace

ShutdownSender& ShutdownSender::operator=(ShutdownSender&& other) noexcept {
    if (this != &other) {
        close();
        state_ = std::move(other.state_);
    }
    return *this;
}

void ShutdownSender::send(bool value) {
    if (!state_) {
        return;
    }
    std::vector<std::weak_ptr<WakeChannel>> waiters;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (state_->closed || state_->receivers == 0) {
            return;
        }
        // Every send is a change, even of an equal value: it is what the receivers wait for.
        state_->value = value;
        ++state_->version;
        waiters = state_->take_waiters();
    }
    wake(waiters);
}

void ShutdownSender::close() {
    if (!state_) {
        return;
    }
    std::vector<std::weak_ptr<WakeChannel>> waiters;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->closed = true;
        waiters = state_->take_waiters();
    }
    wake(waiters);
    state_.reset();
}

ShutdownReceiver::ShutdownReceiver(std::shared_ptr<ShutdownFlagState> state)
    : state_(std::move(state)) {
    if (!state_) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        ++state_->receivers;
        seen_version_ = state_->version;
    }
    std::shared_ptr<ShutdownFlagState> counted = state_;
    presence_ = std::shared_ptr<void>(nullptr, [counted](void*) {
        std::lock_guard<std::mutex> lock(counted->mutex);
        --counted->receivers;
    });
}

ShutdownReceiver::~ShutdownReceiver() = default;

bool ShutdownReceiver::value() const {
    if (!state_) {
        return false;
    }
    std::lock_guard<std::mutex> lock(state_->mutex);
    seen_version_ = state_->version;
    return state_->value;
}

bool ShutdownReceiver::closed() const {
    if (!state_) {
        return true;
    }
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->closed;
}

std::uint64_t ShutdownReceiver::version() const {
    if (!state_) {
        return 0;
    }
    std::lock_guard<std::mutex> lock(state_->mutex);
    seen_version_ = state_->version;
    return state_->version;
}

boost::asio::awaitable<void> ShutdownReceiver::changed() {
    if (!state_) {
        co_return;  // a receiver without a flag behaves like one whose flag is closed
    }
    auto executor = co_await boost::asio::this_coro::executor;
    auto channel = std::make_shared<WakeChannel>(executor, 1);
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (state_->closed) {
            co_return;
        }
        if (state_->version != seen_version_) {
            seen_version_ = state_->version;  // a change this receiver has not seen yet
            co_return;
        }
        // Waiters whose coroutines went away are pruned here, so the list stays small.
        std::erase_if(state_->waiters,
                      [](const std::weak_ptr<WakeChannel>& weak) { return weak.expired(); });
        state_->waiters.push_back(channel);
    }
    // Cancellation (for instance by an awaitable operator that another branch won) also ends
    // the wait; the caller is then being cancelled and does not look at the flag.
    boost::system::error_code ignored;
    co_await channel->async_receive(
        boost::asio::redirect_error(boost::asio::use_awaitable, ignored));
    std::lock_guard<std::mutex> lock(state_->mutex);
    seen_version_ = state_->version;
}

std::pair<ShutdownSender, ShutdownReceiver> make_shutdown_flag() {
    auto state = std::make_shared<ShutdownFlagState>();
    return {ShutdownSender(state), ShutdownReceiver(state)};
}

}  // namespace drovane
