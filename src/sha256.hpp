// SHA-256 through OpenSSL's SHA-256 functions, and the lower-case hexadecimal form of a digest.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "error.hpp"

typedef struct SHA256state_st SHA256_CTX;

namespace drovane::hub {

using Sha256Digest = std::array<std::uint8_t, 32>;

// One running digest. Feed the bytes with update, then take the result once with finish.
class Sha256 {
  public:
    // A digest that cannot be set up (no memory) is an error.
    static Result<Sha256> create();

    Status update(std::span<const std::byte> bytes);
    Status update(std::string_view bytes);
    Result<Sha256Digest> finish();

  private:
    struct FreeContext {
        void operator()(SHA256_CTX* context) const;
    };
    explicit Sha256(std::unique_ptr<SHA256_CTX, FreeContext> context)
        : context_(std::move(context)) {}

    std::unique_ptr<SHA256_CTX, FreeContext> context_;
};

// The digest of bytes held in memory.
Result<Sha256Digest> sha256_of(std::string_view bytes);

// Two lower-case hexadecimal characters per byte, most significant nibble first.
std::string to_lower_hex(std::span<const std::uint8_t> bytes);

// Whether the text is exactly `length` characters, each in 0-9 or a-f.
bool is_lower_hex(std::string_view text, std::size_t length);

}  // namespace drovane::hub
