#include "service/hub/core/core_executable.hpp"

#include <utility>

#include "names.hpp"
#include "sha256_file.hpp"
#include "win/last_error.hpp"
#include "win/module_path.hpp"

namespace drovane::hub {

Result<std::filesystem::path> locate_core_executable() {
    auto own = win::own_executable_path();
    DROVANE_RETURN_IF_ERROR(own);
    if (!own->has_parent_path()) {
        return Error("helper executable has no parent directory");
    }
    return own->parent_path() / names::core_file_wide.data();
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
        return win::last_os_error();
    }
    auto digest = hash_open_file(core.file.get());
    DROVANE_RETURN_IF_ERROR(digest);
    if (*digest != expected_digest) {
        return Error("Core executable SHA256 mismatch");
    }
    return core;
}

}  // namespace drovane::hub
