// The Helper log: the bounded in-memory list of the Helper's run-time messages and the Core's
// standard-error lines, shown by the logs endpoint.
#pragma once

#include <string>

#include "service/hub/request.hpp"

namespace drovane::hub {

inline constexpr std::size_t kHelperLogCapacity = 100;

// Adds one line as the newest, dropping the oldest beyond the capacity. Never fails.
void append_helper_log(std::string line);

// The logs reply: 200, the lines oldest first joined by "\n", "cache-control: no-store".
Reply read_helper_log();

}  // namespace drovane::hub
