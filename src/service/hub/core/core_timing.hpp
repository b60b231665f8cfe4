// The exit waits of Core supervision, shared by the stop and the output watcher.
#pragma once

#include <chrono>

namespace drovane::hub {

using CoreClock = std::chrono::steady_clock;

// A Core gets this long to exit after termination, and a watcher polls this long for an exit of
// the Core's own once its standard error has ended; both poll at the same period.
inline constexpr auto kExitWait = std::chrono::milliseconds(1500);
inline constexpr auto kExitPollPeriod = std::chrono::milliseconds(20);

}  // namespace drovane::hub
