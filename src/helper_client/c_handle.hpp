// The C interface's handle over any transport: drovane_hc_open makes one over the Windows
// transport; tests make one over a fake to drive the entry points natively.
#pragma once

#include <memory>

#include "drovane/helper_client.h"
#include "helper_client/handle_transport.hpp"

namespace drovane::helper_client {

// A new handle driving `transport`; nullptr when memory runs out.
drovane_hc* new_handle(std::unique_ptr<HandleTransport> transport) noexcept;

// What drovane_hc_open does once it has a handle: proves the Helper, keeping the error.
drovane_hc_result authenticate_handle(drovane_hc* client) noexcept;

}  // namespace drovane::helper_client
