// The diagnostic client's commands: which call of the client library each makes and how it
// prints the answer. The library's transport is a seam, so the commands run in native tests.
#pragma once

#include <chrono>
#include <functional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "helper_client/helper_calls.hpp"

namespace drovane::client {

using helper_client::Transport;

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

std::string usage_text();

// What --version prints: the client's version and the Core digest this build expects.
std::string version_text(std::string_view expected_digest);

}  // namespace drovane::client
