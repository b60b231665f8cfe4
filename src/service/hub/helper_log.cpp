// The Helper log: one process-wide list of at most 100 lines, guarded by a plain mutex.
#include "service/hub/helper_log.hpp"

#include <utility>

namespace drovane::hub {

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
