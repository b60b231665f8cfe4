// The replies to the Core operations: each outcome of ping, start and stop, and each failure of
// the task that runs one, as the status, code and message the client reads.
#pragma once

#include <string_view>

#include "service/hub/api/request.hpp"
#include "service/hub/core_operations.hpp"

namespace drovane::hub {

// Every ping reply carries the protocol header, whatever the outcome.
Reply ping_reply(const PingOutcome& outcome);
// The ping task ended without an outcome.
Reply ping_task_failed_reply(const Error& error);

Reply start_reply(const StartOutcome& outcome, std::string_view session_id);
Reply stop_reply(const StopOutcome& outcome, std::string_view session_id);

}  // namespace drovane::hub
