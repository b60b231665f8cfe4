#include "helper_client/ensure.hpp"

#include "names.hpp"

namespace drovane::helper_client {

namespace {

const std::string kStartService =
    "the Helper service is installed but not running. Starting it needs an administrator: "
    "reinstall the Helper from this client (Windows asks for an administrator's approval), or "
    "restart the computer (the service starts at boot)";

Readiness step(NextStep next, std::string text) {
    return {next, std::move(text)};
}

}  // namespace

Call<Readiness> ensure(HandleTransport& transport, std::string_view core_sha256) {
    if (!is_core_digest(core_sha256)) {
        return Failure{FailureKind::invalid_argument,
                       Error("the Core digest must be 64 lower-case hexadecimal characters: "
                             "nothing was sent")};
    }
    Call<ServiceReport> service = transport.query_service();
    if (!service) {
        return service.failure();
    }
    if (!service->installed) {
        return step(NextStep::install, "the Helper is not installed: install it");
    }
    if (service->state != kServiceRunning) {
        return step(NextStep::start_service, kStartService);
    }
    Call<Answer> ping = helper_client::ping(transport, core_sha256);
    if (!ping) {
        const Failure& failure = ping.failure();
        switch (failure.kind) {
            case FailureKind::not_installed:
                return step(NextStep::install, "the Helper is not installed: install it");
            case FailureKind::not_started:
                return step(NextStep::start_service, kStartService);
            case FailureKind::not_running:
            case FailureKind::protocol_mismatch:
                return step(NextStep::reinstall, failure.error.text());
            case FailureKind::not_owner:
                return step(NextStep::tell_user, failure.error.text());
            default:
                return failure;
        }
    }
    if (ping->success) {
        return step(NextStep::ready, "");
    }
    if (ping->status == 409 && ping->error && ping->error->code == "coreSha256Mismatch") {
        return step(NextStep::reinstall,
                    "the Helper expects another Core than this client's: reinstall it");
    }
    if (ping->status == 409 && !ping->error) {  // the plain-text 409: its Core is missing
        return step(NextStep::reinstall,
                    "the Helper cannot use its Core (" + ping->text + "): reinstall it");
    }
    return Failure{FailureKind::bad_reply,
                   Error("ping answered " + std::to_string(ping->status) +
                         (ping->error ? " " + ping->error->code + ": " + ping->error->message : ""))
                       .context("decide the next step")};
}

}  // namespace drovane::helper_client
