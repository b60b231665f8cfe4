#include "service/hub/helper_log_list.hpp"

#include <utility>
#include <vector>

namespace drovane::hub {

void HelperLogList::append(std::string line) noexcept {
    try {
        std::lock_guard guard(lock_);
        while (!lines_.empty() && lines_.size() >= capacity_) {
            lines_.pop_front();
        }
        if (capacity_ > 0) {
            lines_.push_back(std::move(line));
        }
    } catch (...) {
        // Only allocation can fail here; an append reports nothing, so the line is lost.
    }
}

std::string HelperLogList::text() const {
    std::vector<std::string> copy;
    {
        std::lock_guard guard(lock_);
        copy.assign(lines_.begin(), lines_.end());
    }
    std::string body;
    for (std::size_t i = 0; i < copy.size(); ++i) {
        if (i > 0) {
            body.push_back('\n');
        }
        body += copy[i];
    }
    return body;
}

}  // namespace drovane::hub
