// The diagnostic client's commands: what each sends to the Helper and how it prints the reply.
// The transport (finding the port, the socket) is a seam so the commands run in native tests.
#pragma once

#include <chrono>
#include <functional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "client/http_exchange.hpp"
#include "error.hpp"

namespace drovane::client {

class Transport {
  public:
    virtual ~Transport() = default;
    // One request on a new connection to the Helper, and its whole reply.
    virtual Result<HttpReply> exchange(std::string_view method, std::string_view target,
                                       std::string_view json_body) = 0;
};

struct ClientEnvironment {
    Transport& transport;
    std::ostream& out;
    std::ostream& err;
    std::string expected_digest;                           // compiled into this build
    std::function<std::string()> random_hex32;             // 32 lower-case hex characters
    std::function<void(std::chrono::milliseconds)> sleep;  // between log polls
};

// Runs the command in `args` (program name dropped); returns the exit status (0 success, 1 not).
int run_client_command(const std::vector<std::string>& args, ClientEnvironment& env);

// The lines of `now` that were not yet in `before`: the log is a window over the newest lines,
// so the new ones follow the longest tail of `before` that starts `now`.
std::vector<std::string> new_log_lines(const std::vector<std::string>& before,
                                       const std::vector<std::string>& now);

std::string usage_text();

}  // namespace drovane::client
