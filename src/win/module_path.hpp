// The path of the running executable.
#pragma once

#include <filesystem>

#include "error.hpp"

namespace drovane::win {

// The full path of the running executable, read with a growing buffer.
Result<std::filesystem::path> own_executable_path();

}  // namespace drovane::win
