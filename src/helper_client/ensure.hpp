// What a desktop client must do at each launch before it starts a Core, in one value: the
// service's state from the Service Control Manager, then a ping with the client's own Core digest.
#pragma once

#include <string>
#include <string_view>

#include "helper_client/handle_transport.hpp"

namespace drovane::helper_client {

// The values of the C interface's drovane_hc_step.
enum class NextStep : int {
    ready = 1,          // the Helper runs, belongs to this account and expects this Core
    install = 2,        // no Helper service: install it (elevated)
    reinstall = 3,      // it expects another Core, its Core is missing, or it is broken
    start_service = 4,  // installed but not running: an administrator must start it
    tell_user = 5,      // it belongs to another account, or this process runs sandboxed
};

struct Readiness {
    NextStep step = NextStep::ready;
    std::string text;  // why, in words the GUI can show; never a command a standard user can't run
};

// A failure only where no step follows from what the Helper said (a timeout, a connection or
// system failure, an undocumented reply): the caller retries or reports it.
Call<Readiness> ensure(HandleTransport& transport, std::string_view core_sha256);

}  // namespace drovane::helper_client
