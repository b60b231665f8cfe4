// drovane_hc_open: the C interface's handle over the Windows transport.
#include <memory>

#include "helper_client/c_handle.hpp"
#include "helper_client/helper_endpoint.hpp"

extern "C" {

drovane_hc_result DROVANE_HC_CALL drovane_hc_open(drovane_hc** client) {
    if (client == nullptr) {
        return DROVANE_HC_INVALID_ARGUMENT;
    }
    *client = nullptr;
    try {
        *client = drovane::helper_client::new_handle(
            std::make_unique<drovane::helper_client::HelperTransport>());
    } catch (...) {
        return DROVANE_HC_OUT_OF_MEMORY;
    }
    if (*client == nullptr) {
        return DROVANE_HC_OUT_OF_MEMORY;
    }
    return drovane::helper_client::authenticate_handle(*client);
}

}  // extern "C"
