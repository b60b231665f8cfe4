// An initialised PROC_THREAD_ATTRIBUTE_LIST and its storage, for CreateProcessW's
// STARTUPINFOEXW.
#pragma once

#include <cstddef>
#include <memory>

#include "error.hpp"
#include "win/handles.hpp"

// The image-load bits of the process-creation mitigation policy (a 64-bit value), for headers
// that predate them.
#ifndef PROC_THREAD_ATTRIBUTE_MITIGATION_POLICY
#define PROC_THREAD_ATTRIBUTE_MITIGATION_POLICY 0x00020007
#endif
#ifndef PROCESS_CREATION_MITIGATION_POLICY_IMAGE_LOAD_NO_REMOTE_ALWAYS_ON
#define PROCESS_CREATION_MITIGATION_POLICY_IMAGE_LOAD_NO_REMOTE_ALWAYS_ON (0x00000001ULL << 52)
#endif
#ifndef PROCESS_CREATION_MITIGATION_POLICY_IMAGE_LOAD_NO_LOW_LABEL_ALWAYS_ON
#define PROCESS_CREATION_MITIGATION_POLICY_IMAGE_LOAD_NO_LOW_LABEL_ALWAYS_ON (0x00000001ULL << 56)
#endif
#ifndef PROCESS_CREATION_MITIGATION_POLICY_IMAGE_LOAD_PREFER_SYSTEM32_ALWAYS_ON
#define PROCESS_CREATION_MITIGATION_POLICY_IMAGE_LOAD_PREFER_SYSTEM32_ALWAYS_ON \
    (0x00000001ULL << 60)
#endif

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
