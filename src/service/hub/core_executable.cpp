#include "service/hub/core_executable.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <span>
#include <utility>

#include "service/hub/sha256.hpp"

namespace drovane::hub {

namespace {

constexpr std::size_t kHashBufferSize = 4096;
constexpr wchar_t kCoreFileName[] = L"DrovaneCore.exe";
// Longest path GetModuleFileNameW can return, in UTF-16 units, with room for the terminator.
constexpr std::size_t kLongestPath = 32768;

}  // namespace

Result<std::filesystem::path> own_executable_path() {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        DWORD length =
            ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) {
            return Error::os(::GetLastError());
        }
        if (length < buffer.size()) {
            buffer.resize(length);
            return std::filesystem::path(std::move(buffer));
        }
        // The path was cut short: try again with more room.
        if (buffer.size() >= kLongestPath) {
            return Error::os(ERROR_INSUFFICIENT_BUFFER);
        }
        buffer.resize(std::min(buffer.size() * 2, kLongestPath));
    }
}

Result<std::filesystem::path> locate_core_executable() {
    auto own = own_executable_path();
    if (!own) {
        return std::move(own).error();
    }
    if (!own->has_parent_path()) {
        return Error("helper executable has no parent directory");
    }
    return own->parent_path() / kCoreFileName;
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
