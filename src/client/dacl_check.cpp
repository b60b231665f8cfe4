#include "client/dacl_check.hpp"

#include <aclapi.h>
#include <sddl.h>

#include <array>
#include <string_view>

#include "text.hpp"
#include "win/last_error.hpp"

namespace drovane::client {

namespace {

// The accounts that may change the Helper's files; anyone else who can is reported.
constexpr std::array<std::wstring_view, 3> kTrustedSids = {
    L"S-1-5-32-544",                                                    // BUILTIN\Administrators
    L"S-1-5-18",                                                        // NT AUTHORITY\SYSTEM
    L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",  // TrustedInstaller
};

struct Right {
    ACCESS_MASK mask;
    const char* file_name;
    const char* directory_name;
};

// The rights that let an account replace what a SYSTEM process loads, in the order reported.
constexpr std::array<Right, 6> kWriteRights = {{
    {FILE_WRITE_DATA, "write data", "add files"},
    {FILE_APPEND_DATA, "append data", "add subdirectories"},
    {DELETE, "delete", "delete"},
    {FILE_DELETE_CHILD, nullptr, "delete children"},
    {WRITE_DAC, "change permissions", "change permissions"},
    {WRITE_OWNER, "take ownership", "take ownership"},
}};

Result<std::wstring> sid_text(PSID sid) {
    wchar_t* raw = nullptr;
    if (!::ConvertSidToStringSidW(sid, &raw)) {
        return win::last_os_error().context("convert a SID to text");
    }
    win::unique_local_text text(raw);
    return std::wstring(text.get());
}

bool is_trusted(const std::wstring& sid) {
    for (std::wstring_view trusted : kTrustedSids) {
        if (sid == trusted) {
            return true;
        }
    }
    return false;
}

// "DOMAIN\name (SID)", or the SID alone when the system knows no name for it.
std::string account_text(PSID sid, const std::wstring& text) {
    wchar_t name[256];
    wchar_t domain[256];
    DWORD name_size = 256;
    DWORD domain_size = 256;
    SID_NAME_USE use;
    if (!::LookupAccountSidW(nullptr, sid, name, &name_size, domain, &domain_size, &use)) {
        return to_utf8(text);
    }
    std::wstring account = domain_size > 0 ? std::wstring(domain) + L"\\" + name : name;
    return to_utf8(account) + " (" + to_utf8(text) + ")";
}

std::string rights_text(ACCESS_MASK mask, bool directory) {
    if ((mask & FILE_ALL_ACCESS) == FILE_ALL_ACCESS) {
        return "full control";
    }
    std::string text;
    for (const Right& right : kWriteRights) {
        const char* name = directory ? right.directory_name : right.file_name;
        if (name != nullptr && (mask & right.mask) != 0) {
            text += (text.empty() ? "" : ", ") + std::string(name);
        }
    }
    return text;
}

ACCESS_MASK write_mask(bool directory) {
    ACCESS_MASK mask = 0;
    for (const Right& right : kWriteRights) {
        if (directory || right.file_name != nullptr) {
            mask |= right.mask;
        }
    }
    return mask;
}

}  // namespace

Result<std::vector<WriteGrant>> untrusted_write_grants(PSECURITY_DESCRIPTOR descriptor,
                                                       bool directory) {
    std::vector<WriteGrant> grants;
    PSID owner = nullptr;
    BOOL owner_defaulted = FALSE;
    if (!::GetSecurityDescriptorOwner(descriptor, &owner, &owner_defaulted)) {
        return win::last_os_error().context("read the owner");
    }
    if (owner != nullptr) {
        Result<std::wstring> text = sid_text(owner);
        DROVANE_RETURN_IF_ERROR(text);
        if (!is_trusted(*text)) {
            grants.push_back({account_text(owner, *text),
                              "ownership, so it can change the "
                              "permissions"});
        }
    }

    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted)) {
        return win::last_os_error().context("read the DACL");
    }
    if (!present || dacl == nullptr) {
        grants.push_back({"Everyone (S-1-1-0)", "full control (the object has no DACL)"});
        return grants;
    }
    GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                               FILE_ALL_ACCESS};
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* raw = nullptr;
        if (!::GetAce(dacl, i, &raw)) {
            return win::last_os_error().context("read entry " + std::to_string(i));
        }
        const auto* header = static_cast<const ACE_HEADER*>(raw);
        // Inherit-only entries apply to children created later, not to this object.
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE)) {
            continue;
        }
        auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(raw);
        ACCESS_MASK mask = ace->Mask;
        ::MapGenericMask(&mask, &mapping);
        if ((mask & write_mask(directory)) == 0) {
            continue;
        }
        PSID sid = &ace->SidStart;
        Result<std::wstring> text = sid_text(sid);
        DROVANE_RETURN_IF_ERROR(text);
        if (!is_trusted(*text)) {
            grants.push_back({account_text(sid, *text), rights_text(mask, directory)});
        }
    }
    return grants;
}

Result<std::vector<WriteGrant>> untrusted_write_grants(const std::wstring& path) {
    DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return win::last_os_error().context("read the attributes of " + to_utf8(path));
    }
    PSECURITY_DESCRIPTOR raw = nullptr;
    DWORD status = ::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT,
                                           OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                           nullptr, nullptr, nullptr, nullptr, &raw);
    if (status != ERROR_SUCCESS) {
        return Error::os(status).context("read the security descriptor of " + to_utf8(path));
    }
    win::unique_security_descriptor descriptor(raw);
    return untrusted_write_grants(descriptor.get(), (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
}

}  // namespace drovane::client
