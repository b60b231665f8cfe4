// `doctor`: checks an installation of the Helper step by step and prints one line per check,
// "ok", "warn" or "FAIL" with what to do. What it reads of the machine comes through
// Installation, so every decision runs in native tests against a fake one.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "client/client_commands.hpp"
#include "error.hpp"

namespace drovane::client {

// The service's registration as the SCM reports it.
struct ServiceRegistration {
    bool own_process = false;
    bool automatic_start = false;
    std::string account;      // e.g. "LocalSystem"
    std::string binary_path;  // the executable (quoted) and the launch arguments
};

struct RecoveryAction {
    bool restart = false;  // anything else (none, reboot, run a command) is false
    std::uint32_t delay_ms = 0;
};

struct RecoverySetting {
    std::uint32_t reset_period_seconds = 0;
    std::vector<RecoveryAction> actions;
};

// One access-allowed entry of a DACL that lets an account other than administrators, SYSTEM and
// TrustedInstaller change the object.
struct WriteGrant {
    std::string account;  // "DOMAIN\name (SID)", or the SID alone when it has no name
    std::string rights;   // e.g. "full control" or "write data, delete"
};

class Installation {
  public:
    virtual ~Installation() = default;
    // No value when the service is not installed.
    virtual Result<std::optional<ServiceRegistration>> registration() = 0;
    virtual Result<RecoverySetting> recovery() = 0;
    // "Running", "Stopped", ... (the SCM's state names).
    virtual Result<std::string> service_state() = 0;
    virtual Result<unsigned> published_port() = 0;
    // Connects to the published port and proves that its listener is the service's process,
    // sending nothing; the port on success.
    virtual helper_client::Call<unsigned> prove_helper() = 0;
    // The account running this process, as a SID string.
    virtual Result<std::string> user_sid() = 0;
    // Whether this process runs elevated, so that it may run an administrator's commands.
    virtual bool elevated() = 0;
    // The directory of this program, used when no registration names the Helper's.
    virtual std::string own_directory() = 0;
    virtual bool file_exists(const std::string& path) = 0;
    virtual Result<std::string> file_sha256(const std::string& path) = 0;
    virtual Result<std::vector<WriteGrant>> untrusted_write_grants(const std::string& path) = 0;
};

// The executable and the owner SID of a registered binary path, split as the service's command
// line (split_command_line), the inverse of the quoting the install writes.
struct LaunchCommand {
    std::string executable;
    std::optional<std::string> owner_sid;  // the value after "--owner-sid"
};
LaunchCommand parse_binary_path(std::string_view binary_path);

// Runs every check, printing one line each to `out`; exit status 0 when none failed.
int run_doctor(Installation& installation, Transport& transport, std::string_view expected_digest,
               std::ostream& out);

}  // namespace drovane::client
