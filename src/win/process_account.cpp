#include "win/process_account.hpp"

#include <vector>

#include "text.hpp"
#include "win/handles.hpp"
#include "win/last_error.hpp"

// After <windows.h>, which it needs.
#include <sddl.h>

namespace drovane::peer {

Result<std::string> process_account_sid(std::uint32_t pid) {
    win::unique_handle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process) {
        return win::last_os_error();
    }
    return process_handle_account_sid(process.get());
}

Result<std::string> process_handle_account_sid(HANDLE process) {
    win::unique_handle token;
    DROVANE_RETURN_IF_WIN32_BOOL_FALSE(::OpenProcessToken(process, TOKEN_QUERY, token.put()));

    // The first call only reports the size the user record needs; its result says nothing more.
    DWORD size = 0;
    (void)::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    if (size == 0) {
        return win::last_os_error();
    }
    // TOKEN_USER holds pointers into itself, so the buffer is 8-byte aligned and whole units.
    std::vector<std::uint64_t> buffer((size + 7) / 8);
    DWORD length = static_cast<DWORD>(buffer.size() * sizeof(std::uint64_t));
    DROVANE_RETURN_IF_WIN32_BOOL_FALSE(
        ::GetTokenInformation(token.get(), TokenUser, buffer.data(), length, &size));
    const auto* user = reinterpret_cast<const TOKEN_USER*>(buffer.data());

    win::unique_local_text text;
    DROVANE_RETURN_IF_WIN32_BOOL_FALSE(::ConvertSidToStringSidW(user->User.Sid, text.put()));
    return to_utf8(text.get());
}

namespace {

// SeDebugPrivilege switched on or off in this process's token.
Result<bool> set_debug_privilege(bool enabled) {
    win::unique_handle token;
    DROVANE_RETURN_IF_WIN32_BOOL_FALSE(::OpenProcessToken(
        ::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.put()));
    TOKEN_PRIVILEGES wanted{};
    wanted.PrivilegeCount = 1;
    wanted.Privileges[0].Attributes = enabled ? SE_PRIVILEGE_ENABLED : 0;
    DROVANE_RETURN_IF_WIN32_BOOL_FALSE(
        ::LookupPrivilegeValueW(nullptr, SE_DEBUG_NAME, &wanted.Privileges[0].Luid));
    TOKEN_PRIVILEGES previous{};
    DWORD size = sizeof(previous);
    DROVANE_RETURN_IF_WIN32_BOOL_FALSE(
        ::AdjustTokenPrivileges(token.get(), FALSE, &wanted, sizeof(previous), &previous, &size));
    // Success with ERROR_NOT_ALL_ASSIGNED: the token does not hold the privilege.
    if (::GetLastError() == ERROR_NOT_ALL_ASSIGNED) {
        return Error::os(ERROR_NOT_ALL_ASSIGNED);
    }
    // The previous state lists the privilege only when this call changed it.
    return previous.PrivilegeCount == 0;
}

// Enabled for as long as it lives, unless it was enabled before.
class DebugPrivilegeScope {
  public:
    DebugPrivilegeScope(AccountReadCalls& calls, bool was_enabled)
        : calls_(calls), drop_(!was_enabled) {}
    ~DebugPrivilegeScope() {
        if (drop_) {
            calls_.disable_debug_privilege();
        }
    }
    DebugPrivilegeScope(const DebugPrivilegeScope&) = delete;
    DebugPrivilegeScope& operator=(const DebugPrivilegeScope&) = delete;

  private:
    AccountReadCalls& calls_;
    bool drop_;
};

}  // namespace

Result<std::string> AccountReadCalls::account_of(std::uint32_t pid) {
    return process_account_sid(pid);
}

Result<bool> AccountReadCalls::enable_debug_privilege() {
    return set_debug_privilege(true);
}

void AccountReadCalls::disable_debug_privilege() {
    (void)set_debug_privilege(false);
}

Result<std::string> owner_account_sid(std::uint32_t pid, AccountReadCalls& calls) {
    Result<std::string> direct = calls.account_of(pid);
    if (direct || direct.error().os_code() != ERROR_ACCESS_DENIED) {
        return direct;
    }
    const std::string cannot_read =
        "the account that approved the elevation cannot read the desktop account's process " +
        std::to_string(pid) +
        ": approve it as the desktop account, or with an account that holds SeDebugPrivilege";
    Result<bool> was_enabled = calls.enable_debug_privilege();
    if (!was_enabled) {
        return std::move(was_enabled)
            .error()
            .context("enable SeDebugPrivilege")
            .context(cannot_read);
    }
    DebugPrivilegeScope scope(calls, *was_enabled);
    Result<std::string> privileged = calls.account_of(pid);
    if (!privileged) {
        return std::move(privileged).error().context(cannot_read);
    }
    return privileged;
}

}  // namespace drovane::peer
