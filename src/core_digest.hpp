// The SHA-256 of the only Core executable this Helper launches, fixed when the Helper is built.
// The definitions are generated: cmake/core_digest.cmake writes cmake/core_digest.cpp.in into
// the build tree's core_digest.cpp (at configure time from a given digest or file, at build time
// from the sample Core), which library drovane_core_digest compiles. No source lies beside this.
#pragma once

#include <string_view>

namespace drovane {

// 64 lower-case hexadecimal characters.
std::string_view expected_core_digest();

// Whether the build embedded the digest of the project's own sample Core.
bool expected_core_digest_is_sample();

}  // namespace drovane
