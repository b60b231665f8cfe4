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

// The calls that read another account's process from an elevated administrator's process: a
// desktop account's process grants only that account and the system account, so the
// administrator is denied unless SeDebugPrivilege is enabled. Tests put in a fake.
class AccountReadCalls {
  public:
    virtual ~AccountReadCalls() = default;
    // process_account_sid.
    virtual Result<std::string> account_of(std::uint32_t pid);
    // Enables SeDebugPrivilege in this process's token (AdjustTokenPrivileges); whether it was
    // enabled already. Fails with ERROR_NOT_ALL_ASSIGNED when the token does not hold it.
    virtual Result<bool> enable_debug_privilege();
    virtual void disable_debug_privilege();
};

// The account of the process an install names as the owner. When opening it is denied (the
// elevation was approved by another account than the desktop's), SeDebugPrivilege is enabled
// for that one read and dropped after; if the process still cannot be read, the error says that
// the approving account cannot read the desktop account's process.
Result<std::string> owner_account_sid(std::uint32_t pid, AccountReadCalls& calls);

}  // namespace drovane::peer
