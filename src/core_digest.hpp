// The SHA-256 of the only Core executable this Helper launches, fixed when the Helper is built.
#pragma once

#include <string_view>

namespace drovane {

// 64 lower-case hexadecimal characters.
std::string_view expected_core_digest();

// Whether the build embedded the digest of the project's own sample Core.
bool expected_core_digest_is_sample();

}  // namespace drovane
