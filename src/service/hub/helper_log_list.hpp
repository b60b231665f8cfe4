// The list behind the Helper log, as a class so that its bound and its text can be checked on
// instances of their own, and so that the parts that log can be given a list of their own.
#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <string>

namespace drovane::hub {

class HelperLogList {
  public:
    explicit HelperLogList(std::size_t capacity) : capacity_(capacity) {}

    // Adds one line as the newest, dropping the oldest beyond the capacity. Never fails.
    void append(std::string line) noexcept;

    // The lines oldest first joined by "\n".
    std::string text() const;

  private:
    std::size_t capacity_;
    mutable std::mutex lock_;
    std::deque<std::string> lines_;
};

}  // namespace drovane::hub
