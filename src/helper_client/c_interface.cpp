// The C interface over the library's calls: a handle that owns the strings of its last reply,
// and no exception past any entry point.
#include <drovane/helper_client.h>

#include <chrono>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "helper_client/c_handle.hpp"
#include "helper_client/ensure.hpp"
#include "helper_client/helper_calls.hpp"
#include "names.hpp"

static_assert(DROVANE_HC_DEFAULT_TIMEOUT_MS ==
              static_cast<unsigned>(drovane::helper_client::kDefaultTimeout.count()));
static_assert(std::string_view(DROVANE_HC_PROTOCOL_VERSION) ==
              drovane::helper_client::kProtocolVersion);

struct drovane_hc {
    std::unique_ptr<drovane::helper_client::HandleTransport> transport;
    drovane::helper_client::Answer answer;  // owns the strings of the last reply
    std::string error_code;
    std::string error_message;
    std::string error_text;
    std::uint32_t os_error = 0;
    std::string state_text;  // the last ensure's text
};

namespace {

using drovane::helper_client::Answer;
using drovane::helper_client::Call;
using drovane::helper_client::Failure;

// The end of each member of a structure, in order: a caller's `size` covers a whole number of
// them, and only those are written.
#define DROVANE_HC_END(type, member) (offsetof(type, member) + sizeof(type::member))
constexpr std::size_t kReplyEnds[] = {
    DROVANE_HC_END(drovane_hc_reply, size),         DROVANE_HC_END(drovane_hc_reply, status),
    DROVANE_HC_END(drovane_hc_reply, protocol),     DROVANE_HC_END(drovane_hc_reply, text),
    DROVANE_HC_END(drovane_hc_reply, error_code),   DROVANE_HC_END(drovane_hc_reply, error_message),
    DROVANE_HC_END(drovane_hc_reply, has_os_error), DROVANE_HC_END(drovane_hc_reply, os_error),
    DROVANE_HC_END(drovane_hc_reply, session_id),   DROVANE_HC_END(drovane_hc_reply, pid),
    DROVANE_HC_END(drovane_hc_reply, stopped),      DROVANE_HC_END(drovane_hc_reply, reason),
    DROVANE_HC_END(drovane_hc_reply, dropped),      DROVANE_HC_END(drovane_hc_reply, restarted),
};
constexpr std::size_t kServiceEnds[] = {
    DROVANE_HC_END(drovane_hc_service, size),       DROVANE_HC_END(drovane_hc_service, installed),
    DROVANE_HC_END(drovane_hc_service, running),    DROVANE_HC_END(drovane_hc_service, state),
    DROVANE_HC_END(drovane_hc_service, process_id), DROVANE_HC_END(drovane_hc_service, port),
};
#undef DROVANE_HC_END

// Copies the members of `full` that lie wholly within the caller's `size` over the caller's
// structure, keeping its size; nothing past it is touched.
template <typename Struct, std::size_t N>
void copy_within_size(Struct* out, Struct full, const std::size_t (&ends)[N]) {
    const std::size_t size = out->size;
    std::size_t limit = 0;
    for (std::size_t end : ends) {
        if (end <= size) {
            limit = end;
        }
    }
    full.size = out->size;
    std::memcpy(static_cast<void*>(out), &full, limit);
}

drovane_hc_reply empty_reply() {
    drovane_hc_reply reply{};
    reply.protocol = reply.text = reply.error_code = reply.error_message = "";
    reply.session_id = reply.reason = "";
    return reply;
}

// A reply structure the library may write: its size covers at least the size member.
bool is_usable(const drovane_hc_reply* reply) {
    return reply != nullptr && reply->size >= sizeof(reply->size);
}

drovane_hc_result fail(drovane_hc* client, const Failure& failure) {
    client->error_text = failure.error.text();
    client->os_error = failure.error.os_code().value_or(0);
    return static_cast<drovane_hc_result>(failure.kind);
}

drovane_hc_result fill(drovane_hc* client, Call<Answer> call, drovane_hc_reply* reply) {
    copy_within_size(reply, empty_reply(), kReplyEnds);
    client->error_text.clear();
    client->os_error = 0;
    client->answer = {};
    if (!call) {
        return fail(client, call.failure());
    }
    client->answer = std::move(*call);
    const Answer& answer = client->answer;
    client->error_code = answer.error ? answer.error->code : "";
    client->error_message = answer.error ? answer.error->message : "";
    drovane_hc_reply full = empty_reply();
    full.status = answer.status;
    full.protocol = answer.protocol.c_str();
    full.text = answer.text.c_str();
    full.error_code = client->error_code.c_str();
    full.error_message = client->error_message.c_str();
    if (answer.error && answer.error->os_error) {
        full.has_os_error = 1;
        full.os_error = *answer.error->os_error;
    }
    full.session_id = answer.session_id.c_str();
    full.pid = answer.pid;
    full.stopped = answer.stopped.value_or(false) ? 1 : 0;
    full.reason = answer.reason.c_str();
    full.dropped = answer.dropped;
    full.restarted = answer.restarted ? 1 : 0;
    copy_within_size(reply, full, kReplyEnds);
    return answer.success ? DROVANE_HC_OK : DROVANE_HC_REFUSED;
}

drovane_hc_result invalid(drovane_hc* client, std::string why) {
    client->error_text = std::move(why);
    client->os_error = 0;
    return DROVANE_HC_INVALID_ARGUMENT;
}

// Runs one call with the checks every entry shares; an exception (memory) becomes a result.
template <typename Make>
drovane_hc_result run(drovane_hc* client, drovane_hc_reply* reply, bool arguments_given,
                      Make make) {
    if (client == nullptr) {
        return DROVANE_HC_INVALID_ARGUMENT;
    }
    try {
        if (!is_usable(reply)) {
            return invalid(client, reply == nullptr ? "the reply is NULL"
                                                    : "the reply's size is not set: set it to "
                                                      "sizeof(drovane_hc_reply)");
        }
        if (!arguments_given) {
            copy_within_size(reply, empty_reply(), kReplyEnds);
            return invalid(client, "a required argument is NULL");
        }
        return fill(client, make(), reply);
    } catch (...) {
        client->error_text.clear();
        client->os_error = 0;
        if (is_usable(reply)) {
            copy_within_size(reply, empty_reply(), kReplyEnds);
        }
        return DROVANE_HC_OUT_OF_MEMORY;
    }
}

}  // namespace

namespace drovane::helper_client {

drovane_hc* new_handle(std::unique_ptr<HandleTransport> transport) noexcept {
    drovane_hc* client = new (std::nothrow) drovane_hc();
    if (client != nullptr) {
        client->transport = std::move(transport);
    }
    return client;
}

drovane_hc_result authenticate_handle(drovane_hc* client) noexcept {
    try {
        Call<unsigned> port = client->transport->authenticate();
        if (!port) {
            return fail(client, port.failure());
        }
        return DROVANE_HC_OK;
    } catch (...) {
        return DROVANE_HC_OUT_OF_MEMORY;
    }
}

}  // namespace drovane::helper_client

extern "C" {

uint32_t DROVANE_HC_CALL drovane_hc_version(void) {
    return DROVANE_HC_VERSION;
}

void DROVANE_HC_CALL drovane_hc_close(drovane_hc* client) {
    delete client;
}

drovane_hc_result DROVANE_HC_CALL drovane_hc_set_timeout(drovane_hc* client,
                                                         uint32_t milliseconds) {
    if (client == nullptr) {
        return DROVANE_HC_INVALID_ARGUMENT;
    }
    client->transport->set_timeout(std::chrono::milliseconds(
        milliseconds == 0 ? DROVANE_HC_DEFAULT_TIMEOUT_MS : milliseconds));
    return DROVANE_HC_OK;
}

void DROVANE_HC_CALL drovane_hc_cancel(drovane_hc* client) {
    if (client != nullptr) {
        client->transport->cancel();
    }
}

drovane_hc_result DROVANE_HC_CALL drovane_hc_query_service(drovane_hc* client,
                                                           drovane_hc_service* service) {
    if (client == nullptr) {
        return DROVANE_HC_INVALID_ARGUMENT;
    }
    try {
        if (service == nullptr || service->size < sizeof(service->size)) {
            return invalid(client, service == nullptr
                                       ? "the service structure is NULL"
                                       : "the service structure's size is not "
                                         "set: set it to sizeof(drovane_hc_service)");
        }
        copy_within_size(service, drovane_hc_service{}, kServiceEnds);
        client->error_text.clear();
        client->os_error = 0;
        Call<drovane::helper_client::ServiceReport> report = client->transport->query_service();
        if (!report) {
            return fail(client, report.failure());
        }
        drovane_hc_service full{};
        full.installed = report->installed ? 1 : 0;
        full.running = report->state == drovane::helper_client::kServiceRunning ? 1 : 0;
        full.state = report->state;
        full.process_id = report->pid;
        full.port = report->port;
        copy_within_size(service, full, kServiceEnds);
        return DROVANE_HC_OK;
    } catch (...) {
        client->error_text.clear();
        return DROVANE_HC_OUT_OF_MEMORY;
    }
}

drovane_hc_result DROVANE_HC_CALL drovane_hc_ping(drovane_hc* client, const char* core_sha256,
                                                  drovane_hc_reply* reply) {
    return run(client, reply, core_sha256 != nullptr,
               [&] { return drovane::helper_client::ping(*client->transport, core_sha256); });
}

drovane_hc_result DROVANE_HC_CALL drovane_hc_start(drovane_hc* client, const char* address,
                                                   const char* session_id,
                                                   drovane_hc_reply* reply) {
    return run(client, reply, address != nullptr && session_id != nullptr, [&] {
        return drovane::helper_client::start(*client->transport, address, session_id);
    });
}

drovane_hc_result DROVANE_HC_CALL drovane_hc_stop(drovane_hc* client, const char* session_id,
                                                  drovane_hc_reply* reply) {
    return run(client, reply, session_id != nullptr,
               [&] { return drovane::helper_client::stop(*client->transport, session_id); });
}

drovane_hc_result DROVANE_HC_CALL drovane_hc_logs(drovane_hc* client, drovane_hc_reply* reply) {
    return run(client, reply, true,
               [&] { return drovane::helper_client::logs(*client->transport); });
}

drovane_hc_result DROVANE_HC_CALL drovane_hc_logs_since(drovane_hc* client, uint64_t* cursor,
                                                        drovane_hc_reply* reply) {
    drovane_hc_result result = run(client, reply, cursor != nullptr, [&] {
        return drovane::helper_client::logs_since(*client->transport, *cursor);
    });
    if (result == DROVANE_HC_OK) {
        *cursor = client->answer.log_cursor;
    }
    return result;
}

drovane_hc_result DROVANE_HC_CALL drovane_hc_ensure(drovane_hc* client, const char* core_sha256,
                                                    drovane_hc_state* state) {
    if (client == nullptr) {
        return DROVANE_HC_INVALID_ARGUMENT;
    }
    try {
        if (state == nullptr || state->size < sizeof(drovane_hc_state)) {
            return invalid(client,
                           "the state is NULL or its size is not "
                           "sizeof(drovane_hc_state)");
        }
        state->step = DROVANE_HC_STEP_UNKNOWN;
        state->text = "";
        if (core_sha256 == nullptr) {
            return invalid(client, "a required argument is NULL");
        }
        client->error_text.clear();
        client->os_error = 0;
        client->state_text.clear();
        Call<drovane::helper_client::Readiness> readiness =
            drovane::helper_client::ensure(*client->transport, core_sha256);
        if (!readiness) {
            return fail(client, readiness.failure());
        }
        client->state_text = std::move(readiness->text);
        state->step = static_cast<drovane_hc_step>(readiness->step);
        state->text = client->state_text.c_str();
        return DROVANE_HC_OK;
    } catch (...) {
        client->error_text.clear();
        return DROVANE_HC_OUT_OF_MEMORY;
    }
}

drovane_hc_result DROVANE_HC_CALL drovane_hc_new_session(drovane_hc* client,
                                                         drovane_hc_session* session) {
    if (client == nullptr) {
        return DROVANE_HC_INVALID_ARGUMENT;
    }
    try {
        if (session == nullptr || session->size < sizeof(drovane_hc_session)) {
            return invalid(client,
                           "the session is NULL or its size is not "
                           "sizeof(drovane_hc_session)");
        }
        std::memset(session->session_id, 0, sizeof session->session_id);
        std::memset(session->address, 0, sizeof session->address);
        client->error_text.clear();
        client->os_error = 0;
        Call<drovane::helper_client::SessionBytes> bytes =
            client->transport->random_session_bytes();
        if (!bytes) {
            return fail(client, bytes.failure());
        }
        constexpr char kHex[] = "0123456789abcdef";
        std::string id, name;
        for (std::size_t i = 0; i < bytes->size(); ++i) {
            std::string& to = i < 16 ? id : name;
            to += kHex[(*bytes)[i] >> 4];
            to += kHex[(*bytes)[i] & 0xf];
        }
        name = std::string(drovane::names::core_pipe_prefix) + name;
        std::memcpy(session->session_id, id.c_str(), id.size() + 1);
        std::memcpy(session->address, name.c_str(), name.size() + 1);
        return DROVANE_HC_OK;
    } catch (...) {
        client->error_text.clear();
        return DROVANE_HC_OUT_OF_MEMORY;
    }
}

drovane_hc_result DROVANE_HC_CALL drovane_hc_connect_core(drovane_hc* client, const char* address,
                                                          uint32_t pid, uint32_t timeout_ms,
                                                          void** pipe) {
    if (client == nullptr) {
        return DROVANE_HC_INVALID_ARGUMENT;
    }
    try {
        if (pipe == nullptr) {
            return invalid(client, "the pipe out-parameter is NULL");
        }
        *pipe = nullptr;
        if (address == nullptr || !drovane::helper_client::is_core_address(address) || pid == 0) {
            return invalid(client, "the address must be a Core pipe address and pid a process ID");
        }
        client->error_text.clear();
        client->os_error = 0;
        Call<drovane::helper_client::OwnedPipe> opened =
            client->transport->connect_core(address, pid, std::chrono::milliseconds(timeout_ms));
        if (!opened) {
            return fail(client, opened.failure());
        }
        *pipe = opened->release();
        return DROVANE_HC_OK;
    } catch (...) {
        client->error_text.clear();
        return DROVANE_HC_OUT_OF_MEMORY;
    }
}

const char* DROVANE_HC_CALL drovane_hc_error_text(const drovane_hc* client) {
    return client == nullptr ? "" : client->error_text.c_str();
}

uint32_t DROVANE_HC_CALL drovane_hc_os_error(const drovane_hc* client) {
    return client == nullptr ? 0 : client->os_error;
}

const char* DROVANE_HC_CALL drovane_hc_result_name(drovane_hc_result result) {
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
        case DROVANE_HC_NOT_INSTALLED:
            return "DROVANE_HC_NOT_INSTALLED";
        case DROVANE_HC_NOT_STARTED:
            return "DROVANE_HC_NOT_STARTED";
        case DROVANE_HC_NOT_OWNER:
            return "DROVANE_HC_NOT_OWNER";
        case DROVANE_HC_PROTOCOL_MISMATCH:
            return "DROVANE_HC_PROTOCOL_MISMATCH";
        case DROVANE_HC_TIMED_OUT:
            return "DROVANE_HC_TIMED_OUT";
        case DROVANE_HC_CANCELLED:
            return "DROVANE_HC_CANCELLED";
        case DROVANE_HC_NOT_CORE:
            return "DROVANE_HC_NOT_CORE";
    }
    return "unknown result";
}

}  // extern "C"
