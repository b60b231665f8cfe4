// The record of the supervised Core and the one slot that holds it, shared by the supervisor and
// the output watchers of the Cores it launched.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "service/hub/core/core_system_calls.hpp"
#include "service/hub/helper_log.hpp"
#include "win/handles.hpp"

namespace drovane::hub {

// It owns every handle in it; the standard-stream slots stay empty (the read end of the Core's
// standard error belongs to its output watcher).
struct ManagedCore {
    std::string session_id;
    win::unique_handle process;
    win::unique_handle thread;
    win::unique_handle std_input;
    win::unique_handle std_output;
    win::unique_handle std_error;
    win::unique_handle job;

    ManagedCore() = default;
    ManagedCore(ManagedCore&&) noexcept = default;
    ManagedCore& operator=(ManagedCore&&) noexcept = default;
    // The job handle goes last: it is the only handle of a kill-on-close job, so closing it ends
    // whatever the Core left running in the job.
    ~ManagedCore() {
        process.reset();
        thread.reset();
        std_input.reset();
        std_output.reset();
        std_error.reset();
        job.reset();
    }
};

// core_slot with the Core lock that guards it. A plain mutex: a holder that fails abnormally
// unlocks it through its guard and leaves the slot as it was, and later holders carry on with it.
// Watchers share it with the supervisor, so a watcher never outlives what it touches, the log
// it writes to included.
struct CoreSlot {
    CoreSlot(std::shared_ptr<CoreSystemCalls> system, std::shared_ptr<HelperLogList> helper_log)
        : calls(std::move(system)), log(std::move(helper_log)) {}

    const std::shared_ptr<CoreSystemCalls> calls;
    const std::shared_ptr<HelperLogList> log;
    std::mutex lock;
    std::optional<ManagedCore> held;
    // Whether the log already says that the system refused the Core's image-load policy.
    std::atomic<bool> image_load_policy_refusal_logged{false};
};

}  // namespace drovane::hub
