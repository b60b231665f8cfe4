#include "service/hub/helper_log_list.hpp"

#include <utility>
#include <vector>

namespace drovane::hub {
namespace {

std::string join_lines(const std::vector<std::string>& lines) {
    std::string body;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i > 0) {
            body.push_back('\n');
        }
        body += lines[i];
    }
    return body;
}

}  // namespace

void HelperLogList::append(std::string line) noexcept {
    try {
        std::lock_guard guard(lock_);
        while (!lines_.empty() && lines_.size() >= capacity_) {
            lines_.pop_front();
        }
        if (capacity_ > 0) {
            lines_.push_back(std::move(line));
        }
        ++next_;
    } catch (...) {
        // Only allocation can fail here; an append reports nothing, so the line is lost. Its
        // number is not used: a reader cannot tell it from a line that was never written.
    }
}

std::string HelperLogList::text() const {
    return read(std::nullopt).text;
}

HelperLogRead HelperLogList::read(std::optional<std::uint64_t> after) const {
    std::vector<std::string> copy;
    HelperLogRead result;
    {
        std::lock_guard guard(lock_);
        result.next = next_;
        // The lines held are numbered oldest .. next_ - 1.
        const std::uint64_t oldest = next_ - lines_.size();
        std::size_t skip = 0;
        if (after) {
            if (*after >= next_) {
                skip = lines_.size();  // a cursor past the newest line, e.g. of an earlier process
            } else if (*after + 1 < oldest) {
                result.dropped = oldest - (*after + 1);
            } else {
                skip = static_cast<std::size_t>(*after + 1 - oldest);
            }
        }
        copy.assign(lines_.begin() + static_cast<std::ptrdiff_t>(skip), lines_.end());
    }
    result.text = join_lines(copy);
    return result;
}

}  // namespace drovane::hub
