#include "service/hub/core/core_executable.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <span>
#include <utility>

#include "names.hpp"
#include "service/hub/core/sha256.hpp"
#include "win/module_path.hpp"

namespace drovane::hub {

namespace {

constexpr std::size_t kHashBufferSize = 4096;

}  // namespace

Result<std::filesystem::path> locate_core_executable() {
    auto own = win::own_executable_path();
    if (!own) {
        return std::move(own).error();
    }
    if (!own->has_parent_path()) {
        return Error("helper executable has no parent directory");
    }
    return own->parent_path() / names::core_file_wide.data();
}

Result<std::string> hash_open_file(HANDLE file) {
    auto digest = Sha256::create();
    if (!digest) {
        return std::move(digest).error();
    }
    std::array<std::byte, kHashBufferSize> buffer;
    for (;;) {
        DWORD read = 0;
        if (!::ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr)) {
            return Error::os(::GetLastError());
        }
        if (read == 0) {
            break;
        }
        if (auto fed = digest->update(std::span(buffer.data(), read)); !fed) {
            return std::move(fed).error();
        }
    }
    auto result = digest->finish();
    if (!result) {
        return std::move(result).error();
    }
    return to_lower_hex(*result);
}

Result<VerifiedCore> verify_core_executable(const std::filesystem::path& path,
                                            std::string_view expected_digest) {
    if (!path.has_parent_path()) {
        return Error("Core executable has no parent directory");
    }
    VerifiedCore core{path, path.parent_path(), {}};
    // Read-only sharing: while this handle is open nobody can write, rename or delete the file.
    core.file.reset(::CreateFileW(core.path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!core.file) {
        return Error::os(::GetLastError());
    }
    auto digest = hash_open_file(core.file.get());
    if (!digest) {
        return std::move(digest).error();
    }
    if (*digest != expected_digest) {
        return Error("Core executable SHA256 mismatch");
    }
    return core;
}

}  // namespace drovane::hub
