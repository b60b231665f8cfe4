// The Helper log: the bounded in-memory list of the Helper's run-time messages and the Core's
// standard-error lines, shown by the logs endpoint. The parts that log take a list to log to;
// by default it is this process's one list.
#pragma once

#include <string>

#include "service/hub/helper_log_list.hpp"

namespace drovane::hub {

inline constexpr std::size_t kHelperLogCapacity = 100;

// The process's Helper log. Never destroyed: detached Core output watchers may still append
// while the process exits.
HelperLogList& process_helper_log();

// Adds one line to the process's Helper log as the newest. Never fails.
void append_helper_log(std::string line);

// The process's Helper log, oldest line first, joined by "\n".
std::string helper_log_text();

}  // namespace drovane::hub
