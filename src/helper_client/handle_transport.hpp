// What a handle of the C interface drives: a transport that also proves the Helper without a
// request, reports the service, keeps a timeout for each call and can be cancelled.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <string_view>
#include <utility>

#include "helper_client/helper_calls.hpp"

namespace drovane::helper_client {

// The service as the Service Control Manager and the registry report it.
struct ServiceReport {
    bool installed = false;
    std::uint32_t state = 0;  // SERVICE_STOPPED (1) ... SERVICE_PAUSED (7); 0 when not installed
    std::uint32_t pid = 0;    // the service's process while it runs
    unsigned port = 0;        // the published port, 0 when none
};

inline constexpr std::uint32_t kServiceRunning = 4;  // SERVICE_RUNNING

// The deadline of a call until the caller sets another.
inline constexpr std::chrono::milliseconds kDefaultTimeout{5000};

// An open pipe handle with its one owner: `close` closes it unless it was released.
class OwnedPipe {
  public:
    OwnedPipe(void* handle, void (*close)(void*)) : handle_(handle), close_(close) {}
    OwnedPipe(OwnedPipe&& other) noexcept
        : handle_(std::exchange(other.handle_, nullptr)), close_(other.close_) {}
    OwnedPipe& operator=(OwnedPipe&&) = delete;
    ~OwnedPipe() {
        if (handle_ != nullptr) {
            close_(handle_);
        }
    }
    void* get() const { return handle_; }
    void* release() { return std::exchange(handle_, nullptr); }

  private:
    void* handle_;
    void (*close_)(void*);
};

// Bytes from the system's cryptographic random source: a session ID and a pipe name each.
using SessionBytes = std::array<unsigned char, 32>;

class HandleTransport : public Transport {
  public:
    // Connects, proves the listener and closes, sending nothing; gives the port.
    virtual Call<unsigned> authenticate() = 0;
    virtual Call<ServiceReport> query_service() = 0;
    // The deadline of each later call, from its start.
    virtual void set_timeout(std::chrono::milliseconds timeout) = 0;
    // Ends the call in progress, if any; safe from any thread.
    virtual void cancel() = 0;
    virtual Call<SessionBytes> random_session_bytes() = 0;
    // Waits up to `timeout` for the pipe `address`, opens it, and hands it over only when its
    // server is process `pid`: otherwise a not_core failure naming both processes.
    virtual Call<OwnedPipe> connect_core(std::string_view address, std::uint32_t pid,
                                         std::chrono::milliseconds timeout) = 0;
};

}  // namespace drovane::helper_client
