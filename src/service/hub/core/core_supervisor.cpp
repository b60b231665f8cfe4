#include "service/hub/core/core_supervisor.hpp"

#include <exception>
#include <mutex>
#include <thread>
#include <utility>

#include "core_digest.hpp"
#include "service/hub/core/core_launch.hpp"
#include "service/hub/core/core_output_watcher.hpp"
#include "service/hub/core/core_rules.hpp"
#include "service/hub/core/core_timing.hpp"
#include "service/hub/core/managed_core.hpp"
#include "service/hub/helper_log.hpp"
#include "text.hpp"
#include "win/last_error.hpp"
#include "win/module_path.hpp"

namespace drovane::hub {

namespace {

// A failed process creation or resume: the bare error text in the log, the whole error (its
// system code included) in the outcome.
CoreFailure launch_failed(Error error, HelperLogList& log) {
    log.append(error.text());
    return CoreFailure{CoreFailureKind::launch_failed, std::move(error)};
}

// The checks of a request's own fields, made before the lock: they name what is wrong.
CoreFailure invalid_address() {
    return CoreFailure{CoreFailureKind::invalid_address, Error("invalid Core address")};
}

CoreFailure invalid_session() {
    return CoreFailure{CoreFailureKind::invalid_session, Error("invalid Core session ID")};
}

// Terminates the held Core and waits for its exit; the caller holds the Core lock. On any
// failure the record stays as it was.
Status release_core(CoreSlot& slot) {
    if (!slot.held) {
        return {};
    }
    slot.calls->terminate(slot.held->process.get(), 1);
    const auto deadline = CoreClock::now() + kExitWait;
    for (;;) {
        auto polled = slot.calls->poll(slot.held->process.get());
        DROVANE_RETURN_IF_ERROR(polled);
        if (polled->has_value()) {
            slot.held.reset();
            return {};
        }
        if (CoreClock::now() >= deadline) {
            return Error("Core did not exit after termination");
        }
        std::this_thread::sleep_for(kExitPollPeriod);
    }
}

}  // namespace

CoreSupervisor::CoreSupervisor(CoreSupervisorOptions options)
    : core_path_(std::move(options.core_path)),
      expected_digest_(options.expected_digest ? std::move(*options.expected_digest)
                                               : std::string(expected_core_digest())),
      after_verification_for_testing_(std::move(options.after_verification_for_testing)),
      slot_(std::make_shared<CoreSlot>(
          options.calls ? std::move(options.calls) : std::make_shared<CoreSystemCalls>(),
          // The process's log is never destroyed: a pointer that owns nothing stands for it.
          options.log
              ? std::move(options.log)
              : std::shared_ptr<HelperLogList>(std::shared_ptr<void>(), &process_helper_log()))) {}

void CoreSupervisor::log(std::string line) const {
    slot_->log->append(std::move(line));
}

// Going away with a Core held is the Helper going away: discarding the record closes the job,
// which ends the Core, whose watcher then finds nothing to do.
CoreSupervisor::~CoreSupervisor() {
    std::lock_guard lock(slot_->lock);
    slot_->held.reset();
}

Result<std::filesystem::path> CoreSupervisor::core_executable() const {
    if (core_path_) {
        return *core_path_;
    }
    return locate_core_executable();
}

PingOutcome CoreSupervisor::ping_helper(std::string core_sha256) {
    if (core_sha256 != expected_digest_) {
        log("Helper ping rejected a Core SHA256 mismatch");
        return CoreDigestMismatch{};
    }
    auto own_path = [&]() -> Result<std::filesystem::path> {
        auto core = core_executable();
        DROVANE_RETURN_IF_ERROR(core);
        win::unique_file file(::CreateFileW(core->c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            return win::last_os_error();
        }
        file.reset();
        return win::own_executable_path();
    }();
    if (!own_path) {
        log("Helper ping failed: " + own_path.error().text());
        return std::move(own_path).error();
    }
    return HelperPath{to_utf8(own_path->native())};
}

StartOutcome CoreSupervisor::start_core(StartParams params) {
    if (!is_valid_core_address(params.address)) {
        return invalid_address();
    }
    if (!is_valid_session_id(params.session_id)) {
        return invalid_session();
    }
    std::lock_guard lock(slot_->lock);
    if (auto released = release_core(*slot_); !released) {
        log("Helper could not release the managed Core: " + released.error().text());
        return CoreFailure{CoreFailureKind::stop_failed, std::move(released).error()};
    }
    auto path = core_executable();
    if (!path) {
        return CoreFailure{CoreFailureKind::verification_failed, std::move(path).error()};
    }
    auto verified = verify_core_executable(*path, expected_digest_);
    if (!verified) {
        return CoreFailure{CoreFailureKind::verification_failed, std::move(verified).error()};
    }
    if (after_verification_for_testing_) {
        after_verification_for_testing_(verified->path);
    }
    // The outcome is made before `verified` closes the Core file and before the lock is released.
    try {
        return launch_core(*verified, params);
    } catch (const std::exception& failure) {
        // Allocation or thread creation failed; the launch has already ended the Core it made.
        return CoreFailure{CoreFailureKind::internal, Error(failure.what())};
    }
}

// The Core is created suspended and runs only once it is confined, watched and about to be
// recorded. Every way out before the record, an exception included, discards `pending`, which
// terminates the Core; its watcher, if it started, sees the stream end and finds no record.
StartOutcome CoreSupervisor::launch_core(const VerifiedCore& core, const StartParams& params) {
    CoreSystemCalls& calls = *slot_->calls;
    auto created = create_suspended_core(calls, core, params.address);
    if (!created) {
        return launch_failed(std::move(created).error(), *slot_->log);
    }
    PendingCore& pending = *created;
    const DWORD pid = ::GetProcessId(pending.process());
    // Said once: every later start meets the same system.
    if (const auto& refusal = pending.image_load_policy_refusal();
        refusal && !slot_->image_load_policy_refusal_logged.exchange(true)) {
        log("Helper starts the Core without its image-load policy, which the system refused: " +
            refusal->text());
    }

    auto job = confine_core(calls, pending.process());
    if (!job) {
        log("Helper could not confine the Core: " + job.error().text());
        return CoreFailure{CoreFailureKind::confinement_failed, std::move(job).error()};
    }

    pending.keep_job(std::move(*job));

    // Everything that can fail by allocation is done before the Core runs.
    ManagedCore record;
    record.session_id = params.session_id;

    // The watcher too starts before the Core runs (its output waits in the pipe), so that once
    // the Core runs nothing is left that can fail.
    auto pipe = std::make_shared<win::unique_handle>(pending.take_error_read());
    calls.start_thread([slot = slot_, session = params.session_id, pipe]() mutable {
        watch_core_output(std::move(slot), std::move(session), std::move(*pipe));
    });

    if (auto resumed = calls.resume(pending.thread()); !resumed) {
        return launch_failed(std::move(resumed).error(), *slot_->log);
    }
    pending.hand_over(record);
    slot_->held.emplace(std::move(record));
    return CoreStarted{static_cast<std::uint32_t>(pid)};
}

StopOutcome CoreSupervisor::stop_core(StopParams params) {
    if (!is_valid_session_id(params.session_id)) {
        return invalid_session();
    }
    std::lock_guard lock(slot_->lock);
    if (!slot_->held) {
        return CoreStopped::not_running;
    }
    if (slot_->held->session_id != params.session_id) {
        return CoreStopped::session_mismatch;
    }
    if (auto released = release_core(*slot_); !released) {
        log("Helper could not stop the managed Core: " + released.error().text());
        return CoreFailure{CoreFailureKind::stop_failed, std::move(released).error()};
    }
    return CoreStopped::stopped;
}

void CoreSupervisor::stop_core_on_shutdown() {
    std::lock_guard lock(slot_->lock);
    if (auto released = release_core(*slot_); !released) {
        log("Helper could not stop the managed Core on shutdown: " + released.error().text());
    }
}

std::optional<std::string> CoreSupervisor::held_session_for_testing() const {
    std::lock_guard lock(slot_->lock);
    if (!slot_->held) {
        return std::nullopt;
    }
    return slot_->held->session_id;
}

}  // namespace drovane::hub
