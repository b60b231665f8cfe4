// The output watcher of one launched Core: copies its standard-error lines into the slot's log,
// then watches for a short while whether the Core exits by itself.
#pragma once

#include <memory>
#include <string>

#include "service/hub/core/managed_core.hpp"
#include "win/handles.hpp"

namespace drovane::hub {

// The body of the watcher's detached thread. It holds at most one read buffer and one line of
// the Core's output (core_rules.hpp bounds the line). Whatever goes wrong ends only this thread.
void watch_core_output(std::shared_ptr<CoreSlot> slot, std::string session_id,
                       win::unique_handle pipe) noexcept;

}  // namespace drovane::hub
