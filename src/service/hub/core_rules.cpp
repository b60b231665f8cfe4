#include "service/hub/core_rules.hpp"

#include <cstdio>

#include "service/hub/sha256.hpp"
#include "text.hpp"

namespace drovane::hub {

bool is_valid_core_address(std::string_view address) {
    if (address.size() != kCoreAddressLength || !address.starts_with(kCoreAddressPrefix)) {
        return false;
    }
    return is_lower_hex(address.substr(kCoreAddressPrefix.size()), kSessionIdLength);
}

bool is_valid_session_id(std::string_view session_id) {
    return is_lower_hex(session_id, kSessionIdLength);
}

std::string format_exit_status(std::uint32_t code) {
    char text[32];
    if ((code & 0x80000000u) != 0) {
        std::snprintf(text, sizeof text, "exit code: 0x%lx", static_cast<unsigned long>(code));
    } else {
        std::snprintf(text, sizeof text, "exit code: %lu", static_cast<unsigned long>(code));
    }
    return text;
}

bool CoreLineSplitter::emit(std::string line) {
    if (!is_valid_utf8(line)) {
        stopped_ = true;
        pending_.clear();
        return false;
    }
    sink_(std::move(line));
    return true;
}

bool CoreLineSplitter::feed(std::string_view bytes) {
    while (!stopped_ && !bytes.empty()) {
        std::size_t feed_at = bytes.find('\n');
        if (feed_at == std::string_view::npos) {
            pending_.append(bytes);
            break;
        }
        pending_.append(bytes.substr(0, feed_at));
        bytes.remove_prefix(feed_at + 1);
        if (!pending_.empty() && pending_.back() == '\r') {
            pending_.pop_back();
        }
        std::string line;
        line.swap(pending_);
        emit(std::move(line));
    }
    return !stopped_;
}

void CoreLineSplitter::finish() {
    if (!stopped_ && !pending_.empty()) {
        std::string line;
        line.swap(pending_);
        emit(std::move(line));
    }
}

}  // namespace drovane::hub
