// shutdown_flag: one watched boolean with a change counter. The sending side sets it; releasing
// the sending side closes it; both wake every waiting receiver, which treats closed like set.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <cstdint>
#include <memory>
#include <utility>

namespace drovane {

struct ShutdownFlagState;

class ShutdownSender {
  public:
    ShutdownSender() = default;
    explicit ShutdownSender(std::shared_ptr<ShutdownFlagState> state) : state_(std::move(state)) {}
    ShutdownSender(ShutdownSender&&) noexcept = default;
    ShutdownSender& operator=(ShutdownSender&& other) noexcept;
    ~ShutdownSender() { close(); }

    // Sets the value and wakes every waiter; does nothing once closed or with no receiver left.
    void send(bool value);
    // Releases the sending side; waiters wake and see the flag closed.
    void close();

  private:
    std::shared_ptr<ShutdownFlagState> state_;
};

class ShutdownReceiver {
  public:
    ShutdownReceiver() = default;
    explicit ShutdownReceiver(std::shared_ptr<ShutdownFlagState> state);
    ShutdownReceiver(ShutdownReceiver&&) noexcept = default;
    ShutdownReceiver& operator=(ShutdownReceiver&&) noexcept = default;
    ~ShutdownReceiver();

    bool value() const;
    bool closed() const;
    std::uint64_t version() const;  // counts every change

    // Completes on the caller's executor at the first change this receiver has not seen yet,
    // or at close (at once if already closed). A receiver has seen the changes up to its last
    // value(), version() or changed(), and those before it was made; so a change between a
    // look at value() and the wait counts as the change.
    boost::asio::awaitable<void> changed();

  private:
    std::shared_ptr<ShutdownFlagState> state_;
    // Counts this receiver in the flag while it lives; released on move-assignment too.
    std::shared_ptr<void> presence_;
    mutable std::uint64_t seen_version_ = 0;
};

std::pair<ShutdownSender, ShutdownReceiver> make_shutdown_flag();

}  // namespace drovane
