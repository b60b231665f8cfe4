// The Core executable: where it lies, and its verification against the expected digest.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "error.hpp"
#include "win/handles.hpp"

namespace drovane::hub {

// "DrovaneCore.exe" in the directory of the Helper's own executable.
Result<std::filesystem::path> locate_core_executable();

// The Core file as verified: held open with read-only sharing until the start has replied, so
// the bytes that were hashed are the bytes that get launched.
struct VerifiedCore {
    std::filesystem::path path;
    std::filesystem::path directory;
    win::unique_file file;
};

// Opens `path` for reading with read-only sharing and checks its SHA-256 against
// `expected_digest`; "Core executable SHA256 mismatch" when they differ.
Result<VerifiedCore> verify_core_executable(const std::filesystem::path& path,
                                            std::string_view expected_digest);

}  // namespace drovane::hub
