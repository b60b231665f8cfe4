// What a handle of the C interface drives: a transport that also proves the Helper without a
// request, reports the service, keeps a timeout for each call and can be cancelled.
#pragma once

#include <chrono>
#include <cstdint>

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

class HandleTransport : public Transport {
  public:
    // Connects, proves the listener and closes, sending nothing; gives the port.
    virtual Call<unsigned> authenticate() = 0;
    virtual Call<ServiceReport> query_service() = 0;
    // The deadline of each later call, from its start.
    virtual void set_timeout(std::chrono::milliseconds timeout) = 0;
    // Ends the call in progress, if any; safe from any thread.
    virtual void cancel() = 0;
};

}  // namespace drovane::helper_client
