// The token gate: beyond its account, the client process of an admitted connection must not be
// one that Windows deliberately confines. A sandboxed process of the owner (low integrity, an
// AppContainer, a restricted token) must not command a service that runs the Core as SYSTEM.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include "error.hpp"
#include "win/handles.hpp"

namespace drovane::peer {

// What the gate reads from a process's primary token.
struct TokenFacts {
    std::uint32_t integrity_rid = 0;  // the mandatory label's RID (0x2000 is Medium)
    bool app_container = false;
    bool restricted = false;  // carries restricting SIDs, as IsTokenRestricted reports
};

// The lowest integrity admitted: Medium (SECURITY_MANDATORY_MEDIUM_RID).
inline constexpr std::uint32_t kMinimumIntegrityRid = 0x2000;

// Why a process of the owner's account is refused.
enum class SandboxReason { app_container, restricted_token, low_integrity };

// The reason the facts refuse the process for, none when they admit it. An AppContainer or a
// restricted token is named before the integrity level, which both usually lower as well.
std::optional<SandboxReason> sandbox_reason(const TokenFacts& facts);

// The words that name a reason in the Helper log, e.g. "low integrity".
std::string_view sandbox_reason_text(SandboxReason reason);

// Reads the facts from a process open with PROCESS_QUERY_LIMITED_INFORMATION: the same handle
// that the account check holds, so the process is never looked up by its ID a second time.
// Fails with the OS error of the step that failed.
Result<TokenFacts> read_token_facts(HANDLE process);

// Reads the facts of an open process; read_token_facts in the product, given facts in tests.
using TokenFactsReader = std::function<Result<TokenFacts>(HANDLE process)>;

}  // namespace drovane::peer
