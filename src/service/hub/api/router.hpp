// Request admission and routing: the local-caller check, the four endpoints with their method,
// query and body rules, and one reply for every refusal.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <string_view>

#include "service/blocking_pool.hpp"
#include "service/hub/api/request.hpp"
#include "service/hub/core_operations.hpp"

namespace drovane::hub {

inline constexpr std::size_t kBodyLimit = 4096;

// Built once when serving starts and shared read-only by every connection.
class RequestRouter {
  public:
    RequestRouter(CoreOperations& core, BlockingPool& pool) : core_(core), pool_(pool) {}

    // Exactly one reply for every request; never fails.
    boost::asio::awaitable<Reply> route_request(Request& request) const;

  private:
    CoreOperations& core_;
    BlockingPool& pool_;
};

}  // namespace drovane::hub
