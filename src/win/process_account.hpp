// The account of a running process: the string SID of the user in its primary access token.
#pragma once

#include <cstdint>
#include <string>

#include "error.hpp"
#include "win/handles.hpp"

namespace drovane::peer {

// Fails with the OS error of the step that failed (opening the process or its token, reading the
// token's user, converting the SID). Keeps nothing between calls; safe on any thread.
Result<std::string> process_account_sid(std::uint32_t pid);

// The same for a process already open with PROCESS_QUERY_LIMITED_INFORMATION.
Result<std::string> process_handle_account_sid(HANDLE process);

}  // namespace drovane::peer
