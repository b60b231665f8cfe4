// The Core supervisor: the one supervised Core, its verified launch into a kill-on-close job, its
// stop, the ping, and the outcome of each. The launch, the output watcher and the executable's
// verification live in files of their own beside this one.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "service/hub/core/core_executable.hpp"
#include "service/hub/core/core_system_calls.hpp"
#include "service/hub/core_operations.hpp"
#include "service/hub/helper_log.hpp"

namespace drovane::hub {

struct CoreSlot;

// What a test may replace; the product uses the defaults.
struct CoreSupervisorOptions {
    // The Core executable; empty means "DrovaneCore.exe" beside the running executable.
    std::optional<std::filesystem::path> core_path;
    // The digest the Core file must have; empty means the one fixed at build time.
    std::optional<std::string> expected_digest;
    std::shared_ptr<CoreSystemCalls> calls;
    // Tests only: called with the Core path once the file has been verified and is held, before
    // the launch, so that a test can act while the file is held and the lock taken.
    std::function<void(const std::filesystem::path&)> after_verification_for_testing;
    // Where the supervisor and the Core's output go; empty means the process's Helper log.
    std::shared_ptr<HelperLogList> log;
};

// The product creates one; every supervisor has its own slot and lock, shared with the output
// watchers of the Cores it launched.
class CoreSupervisor final : public CoreOperations {
  public:
    explicit CoreSupervisor(CoreSupervisorOptions options = {});
    ~CoreSupervisor() override;
    CoreSupervisor(const CoreSupervisor&) = delete;
    CoreSupervisor& operator=(const CoreSupervisor&) = delete;

    PingOutcome ping_helper(std::string core_sha256) override;
    StartOutcome start_core(StartParams params) override;
    StopOutcome stop_core(StopParams params) override;
    void stop_core_on_shutdown() override;

    // Whether a Core record is held, and under which session ID; tests read it.
    std::optional<std::string> held_session_for_testing() const;

  private:
    Result<std::filesystem::path> core_executable() const;
    // Launches the verified Core and records it; the caller holds the Core lock.
    StartOutcome launch_core(const VerifiedCore& core, const StartParams& params);
    // Writes one line to the supervisor's log.
    void log(std::string line) const;

    std::optional<std::filesystem::path> core_path_;
    std::string expected_digest_;
    std::function<void(const std::filesystem::path&)> after_verification_for_testing_;
    std::shared_ptr<CoreSlot> slot_;
};

}  // namespace drovane::hub
