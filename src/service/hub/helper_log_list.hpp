// The list behind the Helper log, as a class so that its bound and its reply can be checked on
// instances of their own; the process holds exactly one (helper_log.cpp).
#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <string>

#include "service/hub/request.hpp"

namespace drovane::hub {

class HelperLogList {
  public:
    explicit HelperLogList(std::size_t capacity) : capacity_(capacity) {}

    // Adds one line as the newest, dropping the oldest beyond the capacity. Never fails.
    void append(std::string line) noexcept;

    // 200, the lines oldest first joined by "\n", "cache-control: no-store".
    Reply read() const;

  private:
    std::size_t capacity_;
    mutable std::mutex lock_;
    std::deque<std::string> lines_;
};

}  // namespace drovane::hub
