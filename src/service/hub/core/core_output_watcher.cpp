#include "service/hub/core/core_output_watcher.hpp"

#include <chrono>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "service/hub/core/core_rules.hpp"
#include "service/hub/core/core_timing.hpp"

namespace drovane::hub {

namespace {

constexpr std::size_t kOutputBufferSize = 8192;

// Copies lines until the stream ends, a read fails or a line is not UTF-8.
void copy_lines(HANDLE pipe, HelperLogList& log) {
    std::vector<char> buffer(kOutputBufferSize);
    CoreLineSplitter lines([&log](std::string line) { log.append(std::move(line)); });
    for (;;) {
        DWORD read = 0;
        if (!::ReadFile(pipe, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr)) {
            DWORD code = ::GetLastError();
            if (code == ERROR_OPERATION_ABORTED) {
                continue;  // an interrupted read
            }
            if (code == ERROR_BROKEN_PIPE) {
                lines.finish();  // the writer has gone: the end of the stream
            }
            return;
        }
        if (read == 0) {
            lines.finish();
            return;
        }
        if (!lines.feed(std::string_view(buffer.data(), read))) {
            return;
        }
    }
}

// Empties the slot if its Core is this watcher's and has exited, for up to kExitWait.
void notice_exit(CoreSlot& slot, const std::string& session_id) {
    const auto deadline = CoreClock::now() + kExitWait;
    for (;;) {
        {
            std::lock_guard lock(slot.lock);
            // Stopped or replaced meanwhile: that was a requested end, not the Core's own.
            if (!slot.held || slot.held->session_id != session_id) {
                return;
            }
            auto polled = slot.calls->poll(slot.held->process.get());
            if (!polled) {
                return;
            }
            if (polled->has_value()) {
                slot.log->append("Core exited on its own: " + format_exit_status(**polled));
                slot.held.reset();
                return;
            }
        }
        if (CoreClock::now() >= deadline) {
            return;
        }
        std::this_thread::sleep_for(kExitPollPeriod);
    }
}

}  // namespace

void watch_core_output(std::shared_ptr<CoreSlot> slot, std::string session_id,
                       win::unique_handle pipe) noexcept {
    try {
        copy_lines(pipe.get(), *slot->log);
        // From here the Core's writes to its standard error fail.
        pipe.reset();
        notice_exit(*slot, session_id);
    } catch (...) {
        // Nobody waits for a watcher: an allocation failure ends only this thread.
    }
}

}  // namespace drovane::hub
