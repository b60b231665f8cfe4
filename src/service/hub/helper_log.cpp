// The Helper log: one process-wide list of at most 100 lines, guarded by a plain mutex.
#include "service/hub/helper_log.hpp"

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

HelperLogList& process_helper_log() {
    static HelperLogList* log = new HelperLogList(kHelperLogCapacity);
    return *log;
}

void append_helper_log(std::string line) {
    process_helper_log().append(std::move(line));
}

std::string helper_log_text() {
    return process_helper_log().text();
}

}  // namespace drovane::hub
