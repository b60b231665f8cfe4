#include "service/windows/port_publication.hpp"

#include <string>

#include "names.hpp"
#include "text.hpp"
#include "win/handles.hpp"

namespace drovane::win {

namespace {

// The steps of publish_port, failing with the OS error of the call that failed.
Status write_port_value(std::uint16_t port) {
    const std::wstring key_path = names::runtime_key_wide.data();
    const std::wstring value_name = names::port_value_wide.data();

    // The key lives in memory only, so a port never outlives a reboot; an existing key (left by
    // an abrupt end) is opened and its value overwritten.
    unique_key key;
    LSTATUS created =
        ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, key_path.c_str(), 0, nullptr, REG_OPTION_VOLATILE,
                          KEY_SET_VALUE, nullptr, key.put(), nullptr);
    if (created != ERROR_SUCCESS) {
        return Error::os(static_cast<std::uint32_t>(created));
    }
    const DWORD data = port;
    LSTATUS written = ::RegSetValueExW(key.get(), value_name.c_str(), 0, REG_DWORD,
                                       reinterpret_cast<const BYTE*>(&data), sizeof(data));
    key.reset();
    if (written != ERROR_SUCCESS) {
        return Error::os(static_cast<std::uint32_t>(written));
    }
    return {};
}

}  // namespace

Status publish_port(std::uint16_t port) {
    DROVANE_RETURN_IF_ERROR_MSG(write_port_value(port), "publish helper server port");
    return {};
}

void withdraw_port() {
    const std::wstring key_path = names::runtime_key_wide.data();
    (void)::RegDeleteKeyW(HKEY_LOCAL_MACHINE, key_path.c_str());
}

}  // namespace drovane::win
