#include "service/peer/process_account.hpp"

#include <vector>

#include "text.hpp"
#include "win/handles.hpp"

// After <windows.h>, which it needs.
#include <sddl.h>

namespace drovane::peer {

Result<std::string> process_account_sid(std::uint32_t pid) {
    win::unique_handle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process) {
        return Error::os(::GetLastError());
    }
    return process_handle_account_sid(process.get());
}

Result<std::string> process_handle_account_sid(HANDLE process) {
    win::unique_handle token;
    if (!::OpenProcessToken(process, TOKEN_QUERY, token.put())) {
        return Error::os(::GetLastError());
    }

    // The first call only reports the size the user record needs; its result says nothing more.
    DWORD size = 0;
    (void)::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    if (size == 0) {
        return Error::os(::GetLastError());
    }
    // TOKEN_USER holds pointers into itself, so the buffer is 8-byte aligned and whole units.
    std::vector<std::uint64_t> buffer((size + 7) / 8);
    DWORD length = static_cast<DWORD>(buffer.size() * sizeof(std::uint64_t));
    if (!::GetTokenInformation(token.get(), TokenUser, buffer.data(), length, &size)) {
        return Error::os(::GetLastError());
    }
    const auto* user = reinterpret_cast<const TOKEN_USER*>(buffer.data());

    win::unique_local_text text;
    if (!::ConvertSidToStringSidW(user->User.Sid, text.put())) {
        return Error::os(::GetLastError());
    }
    return to_utf8(text.get());
}

}  // namespace drovane::peer
