// The C interface over the library's calls: a handle that owns the strings of its last reply,
// and no exception past any entry point.
#include <drovane/helper_client.h>

#include <new>
#include <string>

#include "helper_client/helper_calls.hpp"
#include "helper_client/helper_endpoint.hpp"

struct drovane_hc {
    drovane::helper_client::HelperTransport transport;
    drovane::helper_client::Answer answer;  // owns the strings of the last reply
    std::string error_code;
    std::string error_message;
    std::string error_text;
};

namespace {

using drovane::helper_client::Answer;
using drovane::helper_client::Call;

void clear(drovane_hc_reply* reply) {
    *reply = drovane_hc_reply{};
    reply->protocol = reply->text = reply->error_code = reply->error_message = "";
    reply->session_id = reply->reason = "";
}

drovane_hc_result fill(drovane_hc* client, Call<Answer> call, drovane_hc_reply* reply) {
    clear(reply);
    client->error_text.clear();
    client->answer = {};
    if (!call) {
        client->error_text = call.failure().error.text();
        return static_cast<drovane_hc_result>(call.failure().kind);
    }
    client->answer = std::move(*call);
    const Answer& answer = client->answer;
    client->error_code = answer.error ? answer.error->code : "";
    client->error_message = answer.error ? answer.error->message : "";
    reply->status = answer.status;
    reply->protocol = answer.protocol.c_str();
    reply->text = answer.text.c_str();
    reply->error_code = client->error_code.c_str();
    reply->error_message = client->error_message.c_str();
    if (answer.error && answer.error->os_error) {
        reply->has_os_error = 1;
        reply->os_error = *answer.error->os_error;
    }
    reply->session_id = answer.session_id.c_str();
    reply->pid = answer.pid;
    reply->stopped = answer.stopped.value_or(false) ? 1 : 0;
    reply->reason = answer.reason.c_str();
    return answer.success ? DROVANE_HC_OK : DROVANE_HC_REFUSED;
}

// Runs one call with the checks every entry shares; an exception (memory) becomes a result.
template <typename Make>
drovane_hc_result run(drovane_hc* client, drovane_hc_reply* reply, bool arguments_given,
                      Make make) {
    if (client == nullptr) {
        return DROVANE_HC_INVALID_ARGUMENT;
    }
    try {
        if (reply == nullptr || !arguments_given) {
            client->error_text = "a required argument is NULL";
            if (reply != nullptr) {
                clear(reply);
            }
            return DROVANE_HC_INVALID_ARGUMENT;
        }
        return fill(client, make(), reply);
    } catch (...) {
        client->error_text.clear();
        if (reply != nullptr) {
            clear(reply);
        }
        return DROVANE_HC_OUT_OF_MEMORY;
    }
}

}  // namespace

extern "C" {

drovane_hc_result drovane_hc_open(drovane_hc** client) {
    if (client == nullptr) {
        return DROVANE_HC_INVALID_ARGUMENT;
    }
    *client = new (std::nothrow) drovane_hc();
    if (*client == nullptr) {
        return DROVANE_HC_OUT_OF_MEMORY;
    }
    try {
        Call<unsigned> port = (*client)->transport.authenticate();
        if (!port) {
            (*client)->error_text = port.failure().error.text();
            return static_cast<drovane_hc_result>(port.failure().kind);
        }
        return DROVANE_HC_OK;
    } catch (...) {
        return DROVANE_HC_OUT_OF_MEMORY;
    }
}

void drovane_hc_close(drovane_hc* client) {
    delete client;
}

drovane_hc_result drovane_hc_ping(drovane_hc* client, const char* core_sha256,
                                  drovane_hc_reply* reply) {
    return run(client, reply, core_sha256 != nullptr,
               [&] { return drovane::helper_client::ping(client->transport, core_sha256); });
}

drovane_hc_result drovane_hc_start(drovane_hc* client, const char* address, const char* session_id,
                                   drovane_hc_reply* reply) {
    return run(client, reply, address != nullptr && session_id != nullptr, [&] {
        return drovane::helper_client::start(client->transport, address, session_id);
    });
}

drovane_hc_result drovane_hc_stop(drovane_hc* client, const char* session_id,
                                  drovane_hc_reply* reply) {
    return run(client, reply, session_id != nullptr,
               [&] { return drovane::helper_client::stop(client->transport, session_id); });
}

drovane_hc_result drovane_hc_logs(drovane_hc* client, drovane_hc_reply* reply) {
    return run(client, reply, true,
               [&] { return drovane::helper_client::logs(client->transport); });
}

const char* drovane_hc_error_text(const drovane_hc* client) {
    return client == nullptr ? "" : client->error_text.c_str();
}

const char* drovane_hc_result_name(drovane_hc_result result) {
    switch (result) {
        case DROVANE_HC_OK:
            return "DROVANE_HC_OK";
        case DROVANE_HC_REFUSED:
            return "DROVANE_HC_REFUSED";
        case DROVANE_HC_NOT_RUNNING:
            return "DROVANE_HC_NOT_RUNNING";
        case DROVANE_HC_NOT_HELPER:
            return "DROVANE_HC_NOT_HELPER";
        case DROVANE_HC_CONNECTION_FAILED:
            return "DROVANE_HC_CONNECTION_FAILED";
        case DROVANE_HC_BAD_REPLY:
            return "DROVANE_HC_BAD_REPLY";
        case DROVANE_HC_INVALID_ARGUMENT:
            return "DROVANE_HC_INVALID_ARGUMENT";
        case DROVANE_HC_SYSTEM_ERROR:
            return "DROVANE_HC_SYSTEM_ERROR";
        case DROVANE_HC_OUT_OF_MEMORY:
            return "DROVANE_HC_OUT_OF_MEMORY";
    }
    return "unknown result";
}

}  // extern "C"
