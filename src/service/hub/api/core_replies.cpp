// One table of the failures' replies; the successes and the stop's refusals beside it.
#include "service/hub/api/core_replies.hpp"

#include <array>
#include <optional>
#include <string>

#include "service/hub/api/wire.hpp"

namespace drovane::hub {
namespace {

// How a failure's message is made.
enum class Message {
    fixed,        // the row's text alone
    error_text,   // the row's text, then the error chain
    task_failed,  // "Core <operation> task failed: ", then the error chain
};

struct FailureReply {
    CoreFailureKind kind;
    unsigned status;
    std::string_view code;
    Message message;
    std::string_view text;
    // "details"."osError" carries the chain's system code, when it has one.
    bool os_error;
};

constexpr std::array<FailureReply, 7> kFailureReplies = {{
    {CoreFailureKind::invalid_address, 400, "invalidRequest", Message::fixed,
     "invalid Core address", false},
    {CoreFailureKind::invalid_session, 400, "invalidRequest", Message::fixed,
     "invalid Core session ID", false},
    {CoreFailureKind::verification_failed, 409, "coreVerificationFailed", Message::error_text, "",
     false},
    {CoreFailureKind::launch_failed, 500, "processLaunchFailed", Message::error_text, "", true},
    {CoreFailureKind::confinement_failed, 500, "internalError", Message::error_text,
     "Core confinement failed: ", false},
    {CoreFailureKind::stop_failed, 500, "coreStopFailed", Message::error_text, "", false},
    {CoreFailureKind::internal, 500, "internalError", Message::task_failed, "", false},
}};

// `operation` is "start" or "stop", for the message of a broken task.
Reply failure_reply(const CoreFailure& failure, std::string_view operation) {
    for (const FailureReply& row : kFailureReplies) {
        if (row.kind != failure.kind) {
            continue;
        }
        std::string message;
        switch (row.message) {
            case Message::fixed:
                message = row.text;
                break;
            case Message::error_text:
                message = std::string(row.text) + failure.error.text();
                break;
            case Message::task_failed:
                message =
                    "Core " + std::string(operation) + " task failed: " + failure.error.text();
                break;
        }
        std::optional<std::int32_t> os_error;
        if (auto code = failure.error.os_code(); row.os_error && code) {
            os_error = static_cast<std::int32_t>(*code);
        }
        return error_reply(row.status, row.code, message, os_error);
    }
    return error_reply(500, "internalError", failure.error.text());
}

Reply with_protocol_header(Reply reply) {
    return with_header(std::move(reply), kProtocolHeader, kProtocolVersion);
}

}  // namespace

Reply ping_reply(const PingOutcome& outcome) {
    if (const auto* path = std::get_if<HelperPath>(&outcome)) {
        return with_protocol_header(text_reply(200, path->utf8));
    }
    if (std::holds_alternative<CoreDigestMismatch>(outcome)) {
        return with_protocol_header(error_reply(409, "coreSha256Mismatch", "Core SHA256 mismatch"));
    }
    return with_protocol_header(text_reply(409, std::get<Error>(outcome).text()));
}

Reply ping_task_failed_reply(const Error& error) {
    return with_protocol_header(text_reply(409, "Helper ping task failed: " + error.text()));
}

Reply start_reply(const StartOutcome& outcome, std::string_view session_id) {
    if (const auto* started = std::get_if<CoreStarted>(&outcome)) {
        return json_reply(200, StartReply{std::string(session_id), started->pid});
    }
    return failure_reply(std::get<CoreFailure>(outcome), "start");
}

Reply stop_reply(const StopOutcome& outcome, std::string_view session_id) {
    const auto* stopped = std::get_if<CoreStopped>(&outcome);
    if (stopped == nullptr) {
        return failure_reply(std::get<CoreFailure>(outcome), "stop");
    }
    switch (*stopped) {
        case CoreStopped::stopped:
            break;
        case CoreStopped::not_running:
            return json_reply(200, StopReply{std::string(session_id), false, "notRunning"});
        case CoreStopped::session_mismatch:
            return json_reply(409, StopReply{std::string(session_id), false, "sessionMismatch"});
    }
    return json_reply(200, StopReply{std::string(session_id), true, std::nullopt});
}

}  // namespace drovane::hub
