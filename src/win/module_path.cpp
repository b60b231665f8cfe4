#include "win/module_path.hpp"

#include <algorithm>
#include <cstddef>
#include <string>
#include <utility>

#include "win/handles.hpp"
#include "win/last_error.hpp"

namespace drovane::win {

namespace {

// Longest path GetModuleFileNameW can return, in UTF-16 units, with room for the terminator.
constexpr std::size_t kLongestPath = 32768;

}  // namespace

Result<std::filesystem::path> own_executable_path() {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        DWORD length =
            ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) {
            return win::last_os_error();
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

}  // namespace drovane::win
