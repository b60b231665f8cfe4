// The SHA-256 of an open Windows file, for the Core's verification and for doctor's check of it.
#pragma once

#include <string>

#include "error.hpp"
#include "win/handles.hpp"

namespace drovane::hub {

// The lower-case hex SHA-256 of an open file, read through a 4096-byte buffer from where the
// file pointer stands to the end.
Result<std::string> hash_open_file(HANDLE file);

}  // namespace drovane::hub
