#include "win/process_attribute_list.hpp"
#include "win/last_error.hpp"

namespace drovane::win {

ProcessAttributeList::~ProcessAttributeList() {
    if (initialised_) {
        ::DeleteProcThreadAttributeList(get());
    }
}

Status ProcessAttributeList::initialise(DWORD count) {
    SIZE_T size = 0;
    ::InitializeProcThreadAttributeList(nullptr, count, 0, &size);
    if (size == 0) {
        return win::last_os_error();
    }
    storage_ = std::make_unique<std::byte[]>(size);
    DROVANE_RETURN_IF_WIN32_BOOL_FALSE(::InitializeProcThreadAttributeList(get(), count, 0, &size));
    initialised_ = true;
    return {};
}

}  // namespace drovane::win
