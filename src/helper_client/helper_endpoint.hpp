// The Windows side of reaching the Helper: the port it publishes in the registry, the process the
// Service Control Manager runs it in, and one HTTP exchange on a new loopback connection whose
// listening end is first proven to be that process.
#pragma once

#include <cstdint>
#include <optional>

#include "error.hpp"
#include "helper_client/helper_calls.hpp"

namespace drovane::helper_client {

// The Runtime key's Port value; says which key when the Helper has published none.
Result<unsigned> read_helper_port();

// The process ID of DrovaneHelperService while the SCM reports it Running; not_running otherwise.
Call<std::uint32_t> running_service_pid();

// Who owns the Helper's end of one loopback connection to `port`, from the system's TCP table:
// the row whose local end is 127.0.0.1:port and whose remote end is the client's end (the one
// that decides), and the listening row of 127.0.0.1:port. Zero where the table
// names no process; absent where there is no such row.
struct ListenerOwners {
    std::optional<std::uint32_t> connection;
    std::optional<std::uint32_t> listener;
};
Result<ListenerOwners> read_listener_owners(unsigned port, unsigned client_port);

// Each exchange reads the port, finds the service's process, connects, and sends the request
// only once the connection's Helper end is proven to be that process (a zero-byte send comes
// first: it carries nothing, see read_owners). Keeps nothing between
// calls; one instance may serve one thread at a time.
class HelperTransport final : public Transport {
  public:
    Call<HttpReply> exchange(std::string_view method, std::string_view target,
                             std::string_view json_body) override;

    // The same steps without a request: connects, proves the listener, closes. Gives the port.
    Call<unsigned> authenticate();
};

}  // namespace drovane::helper_client
