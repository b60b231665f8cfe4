#include "service/peer/token_gate.hpp"

#include <vector>

#include "win/last_error.hpp"

namespace drovane::peer {

namespace {

// A variable-length token record, in 8-byte units since it holds pointers into itself.
Result<std::vector<std::uint64_t>> read_token_record(HANDLE token, TOKEN_INFORMATION_CLASS kind) {
    // The first call only reports the size; its own result says nothing more.
    DWORD size = 0;
    (void)::GetTokenInformation(token, kind, nullptr, 0, &size);
    if (size == 0) {
        return win::last_os_error();
    }
    std::vector<std::uint64_t> buffer((size + 7) / 8);
    DWORD length = static_cast<DWORD>(buffer.size() * sizeof(std::uint64_t));
    DROVANE_RETURN_IF_WIN32_BOOL_FALSE(
        ::GetTokenInformation(token, kind, buffer.data(), length, &size));
    return buffer;
}

}  // namespace

std::optional<SandboxReason> sandbox_reason(const TokenFacts& facts) {
    if (facts.app_container) {
        return SandboxReason::app_container;
    }
    if (facts.restricted) {
        return SandboxReason::restricted_token;
    }
    if (facts.integrity_rid < kMinimumIntegrityRid) {
        return SandboxReason::low_integrity;
    }
    return std::nullopt;
}

std::string_view sandbox_reason_text(SandboxReason reason) {
    switch (reason) {
        case SandboxReason::app_container:
            return "AppContainer";
        case SandboxReason::restricted_token:
            return "restricted token";
        case SandboxReason::low_integrity:
            break;
    }
    return "low integrity";
}

Result<TokenFacts> read_token_facts(HANDLE process) {
    win::unique_handle token;
    if (!::OpenProcessToken(process, TOKEN_QUERY, token.put())) {
        return win::last_os_error().context("open the process token");
    }
    TokenFacts facts;

    Result<std::vector<std::uint64_t>> label = read_token_record(token.get(), TokenIntegrityLevel);
    DROVANE_RETURN_IF_ERROR_MSG(label, "read the integrity level");
    PSID label_sid = reinterpret_cast<const TOKEN_MANDATORY_LABEL*>(label->data())->Label.Sid;
    const UCHAR count = *::GetSidSubAuthorityCount(label_sid);
    if (count == 0) {
        return Error("the token's integrity label has no level");
    }
    facts.integrity_rid = *::GetSidSubAuthority(label_sid, count - 1u);

    DWORD app_container = 0;
    DWORD size = 0;
    if (!::GetTokenInformation(token.get(), TokenIsAppContainer, &app_container,
                               sizeof app_container, &size)) {
        return win::last_os_error().context("read whether the token is an AppContainer's");
    }
    facts.app_container = app_container != 0;

    // What IsTokenRestricted answers, read directly so that a failure is a failure and not a
    // "no". A system that does not know the class at all (Wine answers ERROR_INVALID_FUNCTION,
    // from STATUS_NOT_IMPLEMENTED) keeps no restricting SIDs to report; Windows always knows it.
    Result<std::vector<std::uint64_t>> restricting =
        read_token_record(token.get(), TokenRestrictedSids);
    if (restricting) {
        facts.restricted =
            reinterpret_cast<const TOKEN_GROUPS*>(restricting->data())->GroupCount != 0;
    } else if (restricting.error().os_code() != ERROR_INVALID_FUNCTION) {
        return std::move(restricting).error().context("read the restricting SIDs");
    }
    return facts;
}

}  // namespace drovane::peer
