#include "win/process_attribute_list.hpp"

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
        return Error::os(::GetLastError());
    }
    storage_ = std::make_unique<std::byte[]>(size);
    if (!::InitializeProcThreadAttributeList(get(), count, 0, &size)) {
        return Error::os(::GetLastError());
    }
    initialised_ = true;
    return {};
}

}  // namespace drovane::win
