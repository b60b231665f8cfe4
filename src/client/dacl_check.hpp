// Who besides administrators, SYSTEM and TrustedInstaller may change a file or directory: the
// access-allowed entries of its DACL that grant a right to write, delete or re-permission it,
// and an owner outside those accounts (an owner may always rewrite the DACL).
#pragma once

#include <string>
#include <vector>

#include "client/doctor.hpp"
#include "error.hpp"
#include "win/handles.hpp"

namespace drovane::client {

// The decision over a security descriptor with its owner and DACL; `directory` names the rights
// as a directory's (add files, delete children).
Result<std::vector<WriteGrant>> untrusted_write_grants(PSECURITY_DESCRIPTOR descriptor,
                                                       bool directory);

// The same for a file or directory by path.
Result<std::vector<WriteGrant>> untrusted_write_grants(const std::wstring& path);

}  // namespace drovane::client
