// The narrow seam between the request layer and the Core supervisor. ping, start and stop each
// run as one task on the blocking pool and return a complete reply; the shutdown stop runs on
// the endpoint server's own task once serving has ended.
#pragma once

#include <string>

#include "service/hub/api/wire.hpp"

namespace drovane::hub {

class CoreOperations {
  public:
    virtual ~CoreOperations() = default;
    virtual Reply ping_helper(std::string core_sha256) = 0;
    virtual Reply start_core(StartParams params) = 0;
    virtual Reply stop_core(StopParams params) = 0;
    virtual void stop_core_on_shutdown() = 0;
};

}  // namespace drovane::hub
