// Every reply the protocol documents for each call becomes an answer with the right parts, and
// anything else (wrong status for the code, wrong content type, extra or missing members, a
// session ID not echoed) becomes a bad-reply failure; a ping of another protocol version is a
// protocol mismatch.
#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "helper_client/helper_calls.hpp"

namespace drovane::helper_client {
namespace {

constexpr std::string_view kSession = "0123456789abcdef0123456789abcdef";
constexpr std::string_view kJson = "application/json";
constexpr std::string_view kText = "text/plain; charset=utf-8";

std::string reply(unsigned status, std::string_view type, std::string_view body,
                  std::string_view extra_headers = {}) {
    return "HTTP/1.1 " + std::to_string(status) + " X\r\ncontent-type: " + std::string(type) +
           "\r\n" + std::string(extra_headers) + "content-length: " + std::to_string(body.size()) +
           "\r\n\r\n" + std::string(body);
}
std::string ping_reply(unsigned status, std::string_view type, std::string_view body,
                       std::string_view version = "8") {
    return reply(status, type, body, "x-drovane-helper-protocol: " + std::string(version) + "\r\n");
}
std::string error_body(std::string_view code, std::string_view message) {
    return R"({"code":")" + std::string(code) + R"(","message":")" + std::string(message) + "\"}";
}

// An answer in one line, only the parts that are set, so that a table row states it whole:
// "ok" or "refused", then code, text, os, pid, stopped, reason; a failure is "bad reply".
std::string summary(const Call<Answer>& call) {
    if (!call) {
        switch (call.failure().kind) {
            case FailureKind::bad_reply:
                return "bad reply";
            case FailureKind::protocol_mismatch:
                return "protocol mismatch";
            default:
                return "other failure";
        }
    }
    const Answer& a = *call;
    std::string out = a.success ? "ok" : "refused";
    if (a.error) {
        out += " code=" + a.error->code;
        if (a.error->os_error) {
            out += " os=" + std::to_string(*a.error->os_error);
        }
    }
    if (!a.text.empty()) {
        out += " text=" + a.text;
    }
    if (a.pid != 0) {
        out += " pid=" + std::to_string(a.pid);
    }
    if (a.stopped) {
        out += std::string(" stopped=") + (*a.stopped ? "true" : "false");
    }
    if (!a.reason.empty()) {
        out += " reason=" + a.reason;
    }
    return out;
}

struct Case {
    const char* name;
    Operation operation;
    std::string wire;
    std::string expected;
};

// ctest lists each case by its name, not as the bytes of the struct.
void PrintTo(const Case& c, std::ostream* out) {
    *out << c.name;
}

const std::string kStartOk = R"({"sessionId":")" + std::string(kSession) + R"(","pid":4242})";
std::string stop_body(std::string_view tail) {
    return R"({"sessionId":")" + std::string(kSession) + "\"," + std::string(tail) + "}";
}

const Case kCases[] = {
    // ping
    {"PingMatches", Operation::ping, ping_reply(200, kText, "Z:\\h\\DrovaneHelper.exe"),
     "ok text=Z:\\h\\DrovaneHelper.exe"},
    {"PingDigestMismatch", Operation::ping,
     ping_reply(409, kJson, error_body("coreSha256Mismatch", "Core SHA256 mismatch")),
     "refused code=coreSha256Mismatch"},
    {"PingFailureText", Operation::ping, ping_reply(409, kText, "Helper ping task failed: x"),
     "refused text=Helper ping task failed: x"},
    {"PingBadQuery", Operation::ping,
     ping_reply(400, kJson, error_body("invalidRequest", "invalid ping query")),
     "refused code=invalidRequest"},
    {"PingForbiddenCarriesNoProtocol", Operation::ping,
     reply(403, kJson,
           error_body("invalidRequest", "browser origins and non-local hosts are not allowed")),
     "refused code=invalidRequest"},
    {"PingWithoutProtocolHeader", Operation::ping, reply(200, kText, "Z:\\h"), "bad reply"},
    {"PingOfAnotherProtocol", Operation::ping, ping_reply(200, kText, "Z:\\h", "9"),
     "protocol mismatch"},
    {"PingRefusalOfAnotherProtocol", Operation::ping,
     ping_reply(409, kJson, error_body("coreSha256Mismatch", "m"), "7"), "protocol mismatch"},
    {"PingSuccessAsJson", Operation::ping, ping_reply(200, kJson, "{}"), "bad reply"},
    {"PingCodeOfStart", Operation::ping,
     ping_reply(409, kJson, error_body("coreVerificationFailed", "x")), "bad reply"},
    {"NotFoundIsNoHelperOfThisProtocol", Operation::ping,
     reply(404, kJson, error_body("notFound", "Helper endpoint not found")), "bad reply"},
    // start
    {"StartLaunched", Operation::start, reply(200, kJson, kStartOk), "ok pid=4242"},
    {"StartLaunchFailedWithOsError", Operation::start,
     reply(500, kJson, R"({"code":"processLaunchFailed","message":"m","details":{"osError":-2}})"),
     "refused code=processLaunchFailed os=-2"},
    {"StartVerificationFailed", Operation::start,
     reply(409, kJson, error_body("coreVerificationFailed", "Core executable SHA256 mismatch")),
     "refused code=coreVerificationFailed"},
    {"StartBodyTooLarge", Operation::start,
     reply(413, kJson, error_body("invalidRequest", "request body exceeds 4096 bytes")),
     "refused code=invalidRequest"},
    {"StartReleaseFailed", Operation::start, reply(500, kJson, error_body("coreStopFailed", "m")),
     "refused code=coreStopFailed"},
    {"StartOtherSession", Operation::start,
     reply(200, kJson, R"({"sessionId":"ffffffffffffffffffffffffffffffff","pid":1})"), "bad reply"},
    {"StartPidZero", Operation::start,
     reply(200, kJson, R"({"sessionId":")" + std::string(kSession) + R"(","pid":0})"), "bad reply"},
    {"StartExtraMember", Operation::start,
     reply(200, kJson, R"({"sessionId":")" + std::string(kSession) + R"(","pid":1,"x":1})"),
     "bad reply"},
    {"StartAsText", Operation::start, reply(200, kText, kStartOk), "bad reply"},
    {"StartDetailsOnAnotherCode", Operation::start,
     reply(500, kJson, R"({"code":"internalError","message":"m","details":{"osError":2}})"),
     "bad reply"},
    {"StartCodeWithWrongStatus", Operation::start,
     reply(400, kJson, error_body("processLaunchFailed", "m")), "bad reply"},
    {"StartTruncatedJson", Operation::start, reply(500, kJson, R"({"code":"internalEr)"),
     "bad reply"},
    // stop
    {"StopStopped", Operation::stop, reply(200, kJson, stop_body(R"("stopped":true)")),
     "ok stopped=true"},
    {"StopNotRunning", Operation::stop,
     reply(200, kJson, stop_body(R"("stopped":false,"reason":"notRunning")")),
     "ok stopped=false reason=notRunning"},
    {"StopSessionMismatch", Operation::stop,
     reply(409, kJson, stop_body(R"("stopped":false,"reason":"sessionMismatch")")),
     "refused stopped=false reason=sessionMismatch"},
    {"StopBadSession", Operation::stop,
     reply(400, kJson, error_body("invalidRequest", "invalid Core session ID")),
     "refused code=invalidRequest"},
    {"StopStoppedWithReason", Operation::stop,
     reply(200, kJson, stop_body(R"("stopped":true,"reason":"notRunning")")), "bad reply"},
    {"StopMismatchWith200", Operation::stop,
     reply(200, kJson, stop_body(R"("stopped":false,"reason":"sessionMismatch")")), "bad reply"},
    {"StopUnknownReason", Operation::stop,
     reply(200, kJson, stop_body(R"("stopped":false,"reason":"gone")")), "bad reply"},
    {"StopVerificationCode", Operation::stop,
     reply(409, kJson, error_body("coreVerificationFailed", "m")), "bad reply"},
    // logs
    {"LogsLines", Operation::logs, reply(200, kText, "a\nb"), "ok text=a\nb"},
    {"LogsEmpty", Operation::logs, reply(200, kText, ""), "ok"},
    {"LogsUnhandledRejection", Operation::logs,
     reply(500, kJson, error_body("internalError", "unhandled Helper request rejection")),
     "refused code=internalError"},
    {"LogsAsJson", Operation::logs, reply(200, kJson, "[]"), "bad reply"},
    {"LogsBodyLimitCode", Operation::logs,
     reply(413, kJson, error_body("invalidRequest", "request body exceeds 4096 bytes")),
     "bad reply"},
};

class ReplyMapping : public ::testing::TestWithParam<Case> {};

TEST_P(ReplyMapping, MapsTheReply) {
    const Case& c = GetParam();
    Result<HttpReply> wire = parse_reply(c.wire);
    ASSERT_TRUE(wire) << wire.error().text();
    Call<Answer> answer = map_reply(c.operation, *wire, kSession);
    EXPECT_EQ(summary(answer), c.expected);
    if (answer) {
        EXPECT_EQ(answer->status, wire->status);
    } else if (answer.failure().kind == FailureKind::bad_reply) {
        EXPECT_NE(answer.failure().error.text().find("undocumented reply to "), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(HelperClient, ReplyMapping, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// What each call puts on the wire, and that a transport failure passes through with its kind.
class RecordingTransport final : public Transport {
  public:
    std::string method, target, body;
    std::optional<Failure> failure;
    std::string wire;
    Call<HttpReply> exchange(std::string_view m, std::string_view t, std::string_view b) override {
        method = m;
        target = t;
        body = b;
        if (failure) {
            return *failure;
        }
        return *parse_reply(wire);
    }
};

TEST(HelperCalls, SendTheDocumentedRequests) {
    RecordingTransport transport;
    transport.wire = reply(200, kText, "");
    (void)logs(transport);
    EXPECT_EQ(transport.method + " " + transport.target, "GET /logs");
    (void)ping(transport, std::string(64, 'a'));
    EXPECT_EQ(transport.target, "/ping?coreSha256=" + std::string(64, 'a'));
    (void)start(transport, "\\\\.\\pipe\\DrovaneCore_" + std::string(kSession), kSession);
    EXPECT_EQ(transport.method + " " + transport.target, "POST /start");
    EXPECT_EQ(transport.body, R"({"address":"\\\\.\\pipe\\DrovaneCore_)" + std::string(kSession) +
                                  R"(","sessionId":")" + std::string(kSession) + "\"}");
    (void)stop(transport, kSession);
    EXPECT_EQ(transport.body, R"({"sessionId":")" + std::string(kSession) + "\"}");

    transport.target.clear();
    Call<Answer> refused = ping(transport, "ab&coreSha256=cd");
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.failure().kind, FailureKind::invalid_argument);
    EXPECT_EQ(transport.target, "") << "nothing may be sent for a bad argument";

    transport.failure = Failure{FailureKind::not_helper, Error("listener is process 7")};
    Call<Answer> failed = logs(transport);
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.failure().kind, FailureKind::not_helper);
    EXPECT_EQ(failed.failure().error.text(), "listener is process 7");
}

// logs_since reads the log's line-number headers into the next cursor and the dropped count, reads
// a restarted Helper again from its first line, and takes a log without valid numbers as a bad
// reply (a cursor from it would repeat or skip lines).
TEST(HelperCalls, LogsSinceFollowsTheLineNumbers) {
    class Sequence final : public Transport {
      public:
        std::vector<std::string> wires, targets;
        Call<HttpReply> exchange(std::string_view, std::string_view t, std::string_view) override {
            targets.emplace_back(t);
            return *parse_reply(wires.at(targets.size() - 1));
        }
    };
    auto log = [](std::string_view body, std::string_view headers) {
        return reply(200, kText, body, headers);
    };
    struct Case {
        const char* name;
        std::uint64_t cursor;
        std::vector<std::string> wires;
        std::string expected;  // targets sent, then the answer
    };
    const Case cases[] = {
        {"FromTheStart",
         0,
         {log("a\nb", "x-drovane-helper-log-next: 3\r\n")},
         "/logs?after=0 | ok text=a\nb cursor=2 dropped=0"},
        {"Dropped",
         5,
         {log("x", "x-drovane-helper-log-next: 161\r\nx-drovane-helper-log-dropped: 55\r\n")},
         "/logs?after=5 | ok text=x cursor=160 dropped=55"},
        {"NothingNew",
         7,
         {log("", "x-drovane-helper-log-next: 8\r\n")},
         "/logs?after=7 | ok cursor=7 dropped=0"},
        {"Restarted",
         9,
         {log("", "x-drovane-helper-log-next: 3\r\n"),
          log("n", "x-drovane-helper-log-next: 4\r\n")},
         "/logs?after=9 /logs?after=0 | ok text=n cursor=3 dropped=0 restarted"},
        {"RestartedAtTheCursor",
         3,
         {log("", "x-drovane-helper-log-next: 3\r\n"),
          log("a\nb", "x-drovane-helper-log-next: 3\r\n")},
         "/logs?after=3 /logs?after=0 | ok text=a\nb cursor=2 dropped=0 restarted"},
        {"NoNextHeader", 0, {log("a", "")}, "/logs?after=0 | bad reply"},
        {"NextZero", 0, {log("", "x-drovane-helper-log-next: 0\r\n")}, "/logs?after=0 | bad reply"},
        {"NextNotDigits",
         0,
         {log("", "x-drovane-helper-log-next: 1e3\r\n")},
         "/logs?after=0 | bad reply"},
        {"NextAboveInt64",
         0,
         {log("", "x-drovane-helper-log-next: 9223372036854775808\r\n")},
         "/logs?after=0 | bad reply"},
        {"DroppedZero",
         1,
         {log("", "x-drovane-helper-log-next: 2\r\nx-drovane-helper-log-dropped: 0\r\n")},
         "/logs?after=1 | bad reply"},
        {"StillBelowAfterARestart",
         4,
         {log("", "x-drovane-helper-log-next: 1\r\n"), log("", "x-drovane-helper-log-next: 0\r\n")},
         "/logs?after=4 /logs?after=0 | bad reply"},
        {"RefusalPassesThrough",
         0,
         {reply(400, kJson, error_body("invalidRequest", "invalid logs query"))},
         "/logs?after=0 | refused code=invalidRequest cursor=0 dropped=0"},
    };
    for (const Case& c : cases) {
        Sequence transport;
        transport.wires = c.wires;
        Call<Answer> answer = logs_since(transport, c.cursor);
        std::string got;
        for (const std::string& target : transport.targets) {
            got += (got.empty() ? "" : " ") + target;
        }
        got += " | " + summary(answer);
        if (answer) {
            got += " cursor=" + std::to_string(answer->log_cursor) +
                   " dropped=" + std::to_string(answer->dropped) +
                   (answer->restarted ? " restarted" : "");
        }
        EXPECT_EQ(got, c.expected) << c.name;
    }
}

TEST(HttpExchange, ParsesFramingsAndRefusesTruncatedReplies) {
    auto chunked = parse_reply(
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
        "3\r\nabc\r\n1\r\nd\r\n0\r\n\r\n");
    ASSERT_TRUE(chunked.ok());
    EXPECT_EQ(chunked->body, "abcd");
    auto until_close = parse_reply("HTTP/1.0 404 Not Found\r\nX-A: b\r\n\r\nrest");
    ASSERT_TRUE(until_close.ok());
    EXPECT_EQ(until_close->status, 404u);
    EXPECT_EQ(*until_close->header("x-a"), "b");
    EXPECT_EQ(until_close->body, "rest");
    EXPECT_FALSE(parse_reply("HTTP/1.1 200 OK\r\ncontent-length: 5\r\n\r\nabc").ok());
    EXPECT_FALSE(parse_reply("HTTP/1.1 200 OK\r\n").ok());
    EXPECT_EQ(format_request("POST", "/stop", 5, "{}"),
              "POST /stop HTTP/1.1\r\nhost: 127.0.0.1:5\r\nconnection: close\r\n"
              "content-type: application/json\r\ncontent-length: 2\r\n\r\n{}");
}

// Lengths from the wire are compared without overflow, and no reply is kept past the cap that
// lies above the largest the Helper sends (its log).
TEST(HttpExchange, RefusesLengthsBeyondTheDataAndRepliesOverTheCap) {
    const std::string chunked = "HTTP/1.1 200 OK\r\ntransfer-encoding: chunked\r\n\r\n";
    // 100 log lines of 16 KiB and a cut mark each fit; one byte over the cap does not.
    const std::string log(100 * (16384 + 4), 'x');
    const std::string largest = reply(200, kText, log);
    // Framed by the end of the connection: the body is all that follows the head.
    const std::string over = "HTTP/1.1 200 OK\r\ncontent-type: text/plain; charset=utf-8\r\n\r\n" +
                             std::string(kMaxReplyBytes, 'x');
    struct Case {
        const char* name;
        std::string wire;
        bool parses;
    };
    const Case cases[] = {
        // size + 2 wraps to 1 and to 0: read naively, each of these parses.
        {"chunk size 2^64 - 1", chunked + "ffffffffffffffff\r\nx0\r\n\r\n", false},
        {"chunk size 2^64 - 2", chunked + "fffffffffffffffe\r\n0\r\n\r\n", false},
        {"chunk size past 2^64", chunked + "10000000000000000\r\nabc\r\n0\r\n\r\n", false},
        {"chunk past the data", chunked + "4\r\nabc\r\n0\r\n\r\n", false},
        {"chunk without its line end", chunked + "3\r\nabc", false},
        {"content length 2^64 - 1",
         "HTTP/1.1 200 OK\r\ncontent-length: 18446744073709551615\r\n\r\nab", false},
        {"the largest log", largest, true},
        {"a reply over the cap", over, false},
    };
    ASSERT_GT(over.size(), kMaxReplyBytes);
    ASSERT_LT(largest.size(), kMaxReplyBytes);
    for (const Case& c : cases) {
        Result<HttpReply> parsed = parse_reply(c.wire);
        EXPECT_EQ(parsed.ok(), c.parses) << c.name;
    }
}

}  // namespace
}  // namespace drovane::helper_client
