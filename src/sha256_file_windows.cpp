#include "sha256_file.hpp"

#include <array>
#include <cstddef>
#include <span>

#include "sha256.hpp"
#include "win/last_error.hpp"

namespace drovane::hub {

namespace {

constexpr std::size_t kHashBufferSize = 4096;

}  // namespace

Result<std::string> hash_open_file(HANDLE file) {
    auto digest = Sha256::create();
    DROVANE_RETURN_IF_ERROR(digest);
    std::array<std::byte, kHashBufferSize> buffer;
    for (;;) {
        DWORD read = 0;
        DROVANE_RETURN_IF_WIN32_BOOL_FALSE(
            ::ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr));
        if (read == 0) {
            break;
        }
        DROVANE_RETURN_IF_ERROR(digest->update(std::span(buffer.data(), read)));
    }
    auto result = digest->finish();
    DROVANE_RETURN_IF_ERROR(result);
    return to_lower_hex(*result);
}

}  // namespace drovane::hub
