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

}  // namespace drovane::peer
