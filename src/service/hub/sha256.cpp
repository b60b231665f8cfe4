#include "service/hub/sha256.hpp"

#include <openssl/err.h>
#include <openssl/evp.h>

namespace drovane::hub {

namespace {

// OpenSSL's own reason for the latest failure, or the step that failed when it gave none.
Error openssl_error(const char* step) {
    unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) {
        return Error(std::string(step) + " failed");
    }
    char text[256] = {};
    ERR_error_string_n(code, text, sizeof text);
    return Error(text).context(std::string(step) + " failed");
}

}  // namespace

void Sha256::FreeContext::operator()(EVP_MD_CTX* context) const {
    EVP_MD_CTX_free(context);
}

Result<Sha256> Sha256::create() {
    std::unique_ptr<EVP_MD_CTX, FreeContext> context(EVP_MD_CTX_new());
    if (!context) {
        return openssl_error("SHA-256 context creation");
    }
    if (EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
        return openssl_error("SHA-256 initialisation");
    }
    return Sha256(std::move(context));
}

Status Sha256::update(std::span<const std::byte> bytes) {
    if (bytes.empty()) {
        return {};
    }
    if (EVP_DigestUpdate(context_.get(), bytes.data(), bytes.size()) != 1) {
        return openssl_error("SHA-256 update");
    }
    return {};
}

Status Sha256::update(std::string_view bytes) {
    return update(std::as_bytes(std::span<const char>(bytes.data(), bytes.size())));
}

Result<Sha256Digest> Sha256::finish() {
    Sha256Digest digest{};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context_.get(), digest.data(), &length) != 1 ||
        length != digest.size()) {
        return openssl_error("SHA-256 finalisation");
    }
    return digest;
}

Result<Sha256Digest> sha256_of(std::string_view bytes) {
    auto digest = Sha256::create();
    if (!digest) {
        return std::move(digest).error();
    }
    if (auto fed = digest->update(bytes); !fed) {
        return std::move(fed).error();
    }
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
