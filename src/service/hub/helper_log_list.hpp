// The list behind the Helper log, as a class so that its bound and its text can be checked on
// instances of their own, and so that the parts that log can be given a list of their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

namespace drovane::hub {

// What a reader of the log is given: the lines it asked for, and where it stands.
struct HelperLogRead {
    std::string text;        // the lines, oldest first, joined by "\n"
    std::uint64_t next = 1;  // the sequence number the next appended line will get
    // Lines after the reader's cursor that left the window before it read them.
    std::uint64_t dropped = 0;
};

class HelperLogList {
  public:
    explicit HelperLogList(std::size_t capacity) : capacity_(capacity) {}

    // Adds one line as the newest, dropping the oldest beyond the capacity. Never fails. Each
    // line gets the next sequence number, 1 for the first, whether or not it is kept.
    void append(std::string line) noexcept;

    // The lines oldest first joined by "\n".
    std::string text() const;

    // The lines held, or with a cursor only those numbered above it, taken under one lock
    // together with the next sequence number and, with a cursor, how many lines numbered above
    // it are no longer held.
    HelperLogRead read(std::optional<std::uint64_t> after) const;

  private:
    std::size_t capacity_;
    mutable std::mutex lock_;
    std::deque<std::string> lines_;
    std::uint64_t next_ = 1;  // lines_.back() is numbered next_ - 1
};

}  // namespace drovane::hub
