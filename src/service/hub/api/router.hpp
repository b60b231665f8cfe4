// Request admission and routing: the local-caller check, the four endpoints with their method,
// query and body rules, and one reply for every refusal.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <string_view>

#include "service/blocking_pool.hpp"
#include "service/hub/api/request.hpp"
#include "service/hub/core_operations.hpp"
#include "service/hub/helper_log.hpp"

namespace drovane::hub {

inline constexpr std::size_t kBodyLimit = 4096;

// Built once when serving starts and shared read-only by every connection.
class RequestRouter {
  public:
    // `log` is the Helper log the logs endpoint reads; by default the process's.
    RequestRouter(CoreOperations& core, BlockingPool& pool,
                  const HelperLogList& log = process_helper_log())
        : core_(core), pool_(pool), log_(log) {}

    // Exactly one reply for every request; never fails.
    boost::asio::awaitable<Reply> route_request(Request& request) const;

  private:
    CoreOperations& core_;
    BlockingPool& pool_;
    const HelperLogList& log_;
};

}  // namespace drovane::hub
