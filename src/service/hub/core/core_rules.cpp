#include "service/hub/core/core_rules.hpp"

#include <cstdio>
#include <utility>

#include "sha256.hpp"
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

namespace {

bool is_utf8_continuation(char byte) {
    return (static_cast<unsigned char>(byte) & 0xC0) == 0x80;
}

// Where to cut `line` so that at most `limit` bytes stay and no character is split: back from
// `limit` over at most three continuation bytes (the tail of one character). Bytes that are not
// UTF-8 are not mended here; the line is judged afterwards.
std::size_t cut_position(std::string_view line, std::size_t limit) {
    std::size_t at = limit;
    for (int backed = 0; backed < 3 && at > 0 && is_utf8_continuation(line[at]); ++backed) {
        --at;
    }
    return is_utf8_continuation(line[at]) ? limit : at;
}

}  // namespace

CoreLineSplitter::CoreLineSplitter(Sink sink) : sink_(std::move(sink)) {
    // Room for the longest line up front: the buffer never grows past it.
    pending_.reserve(kCoreLineLimit + 1);
}

void CoreLineSplitter::emit_pending() {
    // A copy of its own size goes on, so the log never keeps this buffer's spare room.
    std::string line(pending_);
    pending_.clear();
    if (line.size() > kCoreLineLimit) {
        line.resize(cut_position(line, kCoreLineLimit));
        line.append(kCutLineMark);
    }
    if (!is_valid_utf8(line)) {
        stopped_ = true;
        return;
    }
    sink_(std::move(line));
}

bool CoreLineSplitter::feed(std::string_view bytes) {
    while (!stopped_ && !bytes.empty()) {
        const std::size_t feed_at = bytes.find('\n');
        const bool line_ends = feed_at != std::string_view::npos;
        std::string_view piece = bytes.substr(0, line_ends ? feed_at : bytes.size());
        bytes.remove_prefix(line_ends ? feed_at + 1 : bytes.size());
        if (skipping_) {
            skipping_ = !line_ends;
            continue;
        }
        // One byte beyond the limit may be the carriage return before the line feed; anything
        // more makes the line too long whatever follows.
        const std::size_t room = kCoreLineLimit + 1 - pending_.size();
        if (piece.size() > room) {
            pending_.append(piece.substr(0, room));
            emit_pending();
            skipping_ = !line_ends;
            continue;
        }
        pending_.append(piece);
        if (line_ends) {
            if (!pending_.empty() && pending_.back() == '\r') {
                pending_.pop_back();
            }
            emit_pending();
        }
    }
    return !stopped_;
}

void CoreLineSplitter::finish() {
    if (!stopped_ && !pending_.empty()) {
        emit_pending();
    }
    skipping_ = false;
}

}  // namespace drovane::hub
