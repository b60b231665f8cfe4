// The endpoint server: listens on 127.0.0.1 at a port the system picks, publishes the port in the
// volatile Runtime key, reports Running, serves the owner's connections until shutdown, then
// drains, withdraws the port and stops the Core.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <string>

#include "error.hpp"
#include "service/hub/core_operations.hpp"
#include "service/runtime.hpp"
#include "service/shutdown_flag.hpp"
#include "service/windows/service_status.hpp"

namespace drovane::win {

// Runs on `runtime`; completes once shutdown has finished. Abandoned before that (the runtime is
// torn down), its clean-up still withdraws the port.
boost::asio::awaitable<Status> run_endpoint_server(std::string owner_sid, ShutdownReceiver shutdown,
                                                   StatusReporter& status, Runtime& runtime,
                                                   hub::CoreOperations& core);

}  // namespace drovane::win
