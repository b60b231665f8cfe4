// The client's Windows side of the Helper's endpoint: the port the Helper publishes in the
// registry, and one HTTP exchange on a new loopback connection to it.
#pragma once

#include "client/client_commands.hpp"
#include "error.hpp"

namespace drovane::client {

// The Runtime key's Port value; says which key when the Helper has published none.
Result<unsigned> read_helper_port();

class WinsockTransport final : public Transport {
  public:
    Result<HttpReply> exchange(std::string_view method, std::string_view target,
                               std::string_view json_body) override;
};

}  // namespace drovane::client
