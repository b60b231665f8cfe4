// An initialised PROC_THREAD_ATTRIBUTE_LIST and its storage, for CreateProcessW's
// STARTUPINFOEXW.
#pragma once

#include <cstddef>
#include <memory>

#include "error.hpp"
#include "win/handles.hpp"

namespace drovane::win {

class ProcessAttributeList {
  public:
    ProcessAttributeList() = default;
    ProcessAttributeList(const ProcessAttributeList&) = delete;
    ProcessAttributeList& operator=(const ProcessAttributeList&) = delete;
    ~ProcessAttributeList();

    // Makes room for `count` attributes; once only.
    Status initialise(DWORD count);

    LPPROC_THREAD_ATTRIBUTE_LIST get() const {
        return reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.get());
    }

  private:
    std::unique_ptr<std::byte[]> storage_;
    bool initialised_ = false;
};

}  // namespace drovane::win
