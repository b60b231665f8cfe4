// The Core supervisor: the one supervised Core process, its verified launch into a kill-on-close
// job, its stop, the ping, and the watcher of the Core's standard error and exit.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "error.hpp"
#include "service/hub/core_operations.hpp"
#include "service/windows/handles.hpp"

namespace drovane::hub {

// The system calls whose failure the platform cannot produce on demand. The defaults are the
// real calls; tests override one to inject its failure.
class CoreSystemCalls {
  public:
    virtual ~CoreSystemCalls() = default;
    // TerminateProcess; its result is of no interest to the caller.
    virtual void terminate(HANDLE process, std::uint32_t exit_code);
    // A zero-timeout wait: the exit code once the process has exited, nothing while it runs.
    virtual Result<std::optional<std::uint32_t>> poll(HANDLE process);
    virtual Result<win::unique_handle> create_job();
    virtual Status set_limits(HANDLE job);
    virtual Status assign(HANDLE job, HANDLE process);
};

// What a test may replace; the product uses the defaults.
struct CoreSupervisorOptions {
    // The Core executable; empty means "DrovaneCore.exe" beside the running executable.
    std::optional<std::filesystem::path> core_path;
    // The digest the Core file must have; empty means the one fixed at build time.
    std::optional<std::string> expected_digest;
    std::shared_ptr<CoreSystemCalls> calls;
    // Called with the Core path once the file has been verified and is held, before the launch.
    std::function<void(const std::filesystem::path&)> after_verification;
};

// The Helper's own executable path, read with a growing buffer.
Result<std::filesystem::path> own_executable_path();

// "DrovaneCore.exe" in the directory of the Helper's own executable.
Result<std::filesystem::path> locate_core_executable();

// The lower-case hex SHA-256 of an open file, read through a 4096-byte buffer from where the
// file pointer stands to the end.
Result<std::string> hash_open_file(HANDLE file);

struct SupervisorState;

// The product creates one; every supervisor has its own slot and lock, shared with the output
// watchers of the Cores it launched, so a watcher never outlives what it touches.
class CoreSupervisor final : public CoreOperations {
  public:
    explicit CoreSupervisor(CoreSupervisorOptions options = {});
    ~CoreSupervisor() override;
    CoreSupervisor(const CoreSupervisor&) = delete;
    CoreSupervisor& operator=(const CoreSupervisor&) = delete;

    Reply ping_helper(std::string core_sha256) override;
    Reply start_core(StartParams params) override;
    Reply stop_core(StopParams params) override;
    void stop_core_on_shutdown() override;

    // Whether a Core record is held, and under which session ID (for tests and diagnostics).
    std::optional<std::string> held_session() const;

  private:
    std::shared_ptr<SupervisorState> state_;
};

}  // namespace drovane::hub
