// The narrow seam between the request layer and the Core supervisor. ping, start and stop each
// run as one task on the blocking pool and return an outcome in the supervision's own terms; the
// request layer alone turns an outcome into a reply. The shutdown stop runs on the endpoint
// server's own task once serving has ended.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "error.hpp"

namespace drovane::hub {

struct StartParams {
    std::string address;
    std::string session_id;
};

struct StopParams {
    std::string session_id;
};

// Why a start or stop did not do what it was asked.
enum class CoreFailureKind {
    invalid_address,      // the address is not a Core pipe name
    invalid_session,      // the session ID is not 32 lower-case hex characters
    verification_failed,  // the Core file is missing, unreadable, or has another digest
    launch_failed,        // the Core process could not be created or resumed
    confinement_failed,   // the Core could not be put into its job
    stop_failed,          // the held Core could not be ended
    internal,             // the operation itself broke (allocation, thread creation)
};

struct CoreFailure {
    CoreFailureKind kind;
    Error error;
};

// A start: the pid of the Core now held under the request's session, or the failure.
struct CoreStarted {
    std::uint32_t pid = 0;
};
using StartOutcome = std::variant<CoreStarted, CoreFailure>;

// A stop: the held Core ended, or nothing was held, or it is held under another session.
enum class CoreStopped { stopped, not_running, session_mismatch };
using StopOutcome = std::variant<CoreStopped, CoreFailure>;

// A ping: the Helper's own path (UTF-8), or the client expects another Core, or the Core file or
// the Helper's path could not be read.
struct HelperPath {
    std::string utf8;
};
struct CoreDigestMismatch {};
using PingOutcome = std::variant<HelperPath, CoreDigestMismatch, Error>;

class CoreOperations {
  public:
    virtual ~CoreOperations() = default;
    virtual PingOutcome ping_helper(std::string core_sha256) = 0;
    virtual StartOutcome start_core(StartParams params) = 0;
    virtual StopOutcome stop_core(StopParams params) = 0;
    virtual void stop_core_on_shutdown() = 0;
};

}  // namespace drovane::hub
