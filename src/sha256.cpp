// SHA-256 through OpenSSL's own SHA-256 functions rather than its EVP interface. EVP brings the
// whole provider machinery into the executable, and with it OpenSSL's Windows start-up, which
// imports user32, crypt32 and bcrypt: every process of the service would load and initialise
// them at start for a digest that needs none of it. The SHA-256 functions are the same
// processor-specific code (SHA extensions, AVX2) without that. OpenSSL 3 marks them deprecated
// in favour of EVP; they remain in every build that keeps the 3.0 interfaces, which is the
// default.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "sha256.hpp"

#include <openssl/sha.h>

#include <new>

namespace drovane::hub {

void Sha256::FreeContext::operator()(SHA256_CTX* context) const {
    delete context;
}

Result<Sha256> Sha256::create() {
    std::unique_ptr<SHA256_CTX, FreeContext> context(new (std::nothrow) SHA256_CTX);
    if (!context) {
        return Error("SHA-256 context creation failed: out of memory");
    }
    if (SHA256_Init(context.get()) != 1) {
        return Error("SHA-256 initialisation failed");
    }
    return Sha256(std::move(context));
}

Status Sha256::update(std::span<const std::byte> bytes) {
    if (bytes.empty()) {
        return {};
    }
    if (SHA256_Update(context_.get(), bytes.data(), bytes.size()) != 1) {
        return Error("SHA-256 update failed");
    }
    return {};
}

Status Sha256::update(std::string_view bytes) {
    return update(std::as_bytes(std::span<const char>(bytes.data(), bytes.size())));
}

Result<Sha256Digest> Sha256::finish() {
    Sha256Digest digest{};
    if (SHA256_Final(digest.data(), context_.get()) != 1) {
        return Error("SHA-256 finalisation failed");
    }
    return digest;
}

Result<Sha256Digest> sha256_of(std::string_view bytes) {
    auto digest = Sha256::create();
    DROVANE_RETURN_IF_ERROR(digest);
    DROVANE_RETURN_IF_ERROR(digest->update(bytes));
    return digest->finish();
}

std::string to_lower_hex(std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (std::uint8_t byte : bytes) {
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 0x0F]);
    }
    return text;
}

bool is_lower_hex(std::string_view text, std::size_t length) {
    if (text.size() != length) {
        return false;
    }
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

}  // namespace drovane::hub
