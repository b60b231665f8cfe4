#include <windows.h>

#include "error.hpp"
#include "text.hpp"
#include "win/handles.hpp"

namespace drovane {

std::string system_message(std::uint32_t code) {
    wchar_t* buffer = nullptr;
    DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    win::unique_local_text owner(buffer);
    if (length == 0) {
        return "Unknown error";
    }
    std::wstring_view text(buffer, length);
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' ')) {
        text.remove_suffix(1);
    }
    return to_utf8(text);
}

}  // namespace drovane
