// C++ owner of a drovane_hc handle: the handle is closed when the object goes, and every call
// returns the C interface's result with the reply it filled (its size set here). Reply strings
// stay valid until the next call on the same object, as in C. Throws nothing.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "drovane/helper_client.h"

namespace drovane {

class HelperClient {
  public:
    // Opens and authenticates; check result() (and error_text()) before the calls.
    HelperClient() {
        drovane_hc* handle = nullptr;
        opened_ = drovane_hc_open(&handle);
        handle_.reset(handle);
    }

    drovane_hc_result result() const { return opened_; }
    bool valid() const { return handle_ != nullptr; }
    std::string error_text() const { return drovane_hc_error_text(handle_.get()); }
    std::uint32_t os_error() const { return drovane_hc_os_error(handle_.get()); }

    drovane_hc_result set_timeout(std::uint32_t milliseconds) {
        return drovane_hc_set_timeout(handle_.get(), milliseconds);
    }
    // Safe from any thread while this object lives.
    void cancel() { drovane_hc_cancel(handle_.get()); }

    drovane_hc_result query_service(drovane_hc_service& service) {
        service.size = sizeof(service);
        return drovane_hc_query_service(handle_.get(), &service);
    }
    drovane_hc_result ping(const std::string& core_sha256, drovane_hc_reply& reply) {
        reply.size = sizeof(reply);
        return drovane_hc_ping(handle_.get(), core_sha256.c_str(), &reply);
    }
    drovane_hc_result start(const std::string& address, const std::string& session_id,
                            drovane_hc_reply& reply) {
        reply.size = sizeof(reply);
        return drovane_hc_start(handle_.get(), address.c_str(), session_id.c_str(), &reply);
    }
    drovane_hc_result stop(const std::string& session_id, drovane_hc_reply& reply) {
        reply.size = sizeof(reply);
        return drovane_hc_stop(handle_.get(), session_id.c_str(), &reply);
    }
    drovane_hc_result logs(drovane_hc_reply& reply) {
        reply.size = sizeof(reply);
        return drovane_hc_logs(handle_.get(), &reply);
    }
    // `cursor` starts at 0 and is kept between calls.
    drovane_hc_result logs_since(std::uint64_t& cursor, drovane_hc_reply& reply) {
        reply.size = sizeof(reply);
        return drovane_hc_logs_since(handle_.get(), &cursor, &reply);
    }
    drovane_hc_result ensure(const std::string& core_sha256, drovane_hc_state& state) {
        state.size = sizeof(state);
        return drovane_hc_ensure(handle_.get(), core_sha256.c_str(), &state);
    }
    drovane_hc_result new_session(drovane_hc_session& session) {
        session.size = sizeof(session);
        return drovane_hc_new_session(handle_.get(), &session);
    }
    // On OK, `pipe` is an open HANDLE the caller owns (close it with CloseHandle).
    drovane_hc_result connect_core(const std::string& address, std::uint32_t pid,
                                   std::uint32_t timeout_ms, void*& pipe) {
        return drovane_hc_connect_core(handle_.get(), address.c_str(), pid, timeout_ms, &pipe);
    }

  private:
    struct Close {
        void operator()(drovane_hc* handle) const { drovane_hc_close(handle); }
    };
    std::unique_ptr<drovane_hc, Close> handle_;
    drovane_hc_result opened_ = DROVANE_HC_OUT_OF_MEMORY;
};

}  // namespace drovane
