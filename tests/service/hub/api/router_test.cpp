// The router end to end through route_request: the order of the checks, every rejection reply
// (status, headers, exact body), what reaches the Core operations, following the log with a
// cursor, and the replacement replies when an operation's task fails.
#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <chrono>
#include <future>
#include <thread>
#include <variant>

#include "hub_test_support.hpp"
#include "service/hub/api/router.hpp"
#include "service/hub/api/router_rules.hpp"
#include "service/hub/helper_log.hpp"

namespace drovane::hub {
namespace {

using testing::RecordingCore;
using testing::route_once;
using testing::ScriptedBody;
using Call = RecordingCore::Call;
using Headers = std::vector<Header>;

const Header kJson{"content-type", "application/json"};
const Header kText{"content-type", "text/plain; charset=utf-8"};
const Header kNoSniff{"x-content-type-options", "nosniff"};
const Header kProtocol{"x-drovane-helper-protocol", "8"};
const Header kClose{"connection", "close"};

std::string error_body(std::string_view code, std::string_view message) {
    return std::string(R"({"code":")") + std::string(code) + R"(","message":")" +
           std::string(message) + R"("})";
}

const std::string kPingBody = "Z:\\helper\\DrovaneHelper.exe";
const std::string kSession = "0123456789abcdef0123456789abcdef";
const std::string kAddress = "\\\\.\\pipe\\DrovaneCore_0123456789abcdef0123456789abcdef";
const std::string kStartJson =
    R"({"address":"\\\\.\\pipe\\DrovaneCore_0123456789abcdef0123456789abcdef","sessionId":")" +
    kSession + R"("})";
const std::string kStopJson = R"({"sessionId":")" + kSession + R"("})";

struct RouteCase {
    std::string name;
    std::string method;
    std::string target;
    Headers headers;
    std::optional<std::string> body;  // a readable body when present
    unsigned status;
    Headers reply_headers;
    std::string reply_body;
    std::vector<Call> calls;  // what reached the Core operations
    bool body_read = false;
};

const std::string kNotFound = error_body("notFound", "Helper endpoint not found");
const std::string kForbidden =
    error_body("invalidRequest", "browser origins and non-local hosts are not allowed");
const std::string kBadHeader = error_body("invalidRequest", "invalid request header");
const std::string kBadMethod =
    error_body("invalidRequest", "Helper endpoint does not accept this method");
const std::string kBadQuery = error_body("invalidRequest", "invalid ping query");
const std::string kBadLogsQuery = error_body("invalidRequest", "invalid logs query");
const std::string kBadBody = error_body("invalidRequest", "invalid JSON request body");
const std::string kTooLarge = error_body("invalidRequest", "request body exceeds 4096 bytes");
const std::string kNoLength = error_body("invalidRequest", "request body length is required");
const std::string kUnhandled = error_body("internalError", "unhandled Helper request rejection");

const std::string kStartReply = R"({"sessionId":")" + kSession + R"(","pid":4242})";
const std::string kStopReply = R"({"sessionId":")" + kSession + R"(","stopped":true})";

Headers json_post(std::string length) {
    return {{"Host", "127.0.0.1:50123"}, {"Content-Length", std::move(length)}};
}

std::string length_of(const std::string& text) {
    return std::to_string(text.size());
}

// A stop body of exactly 4096 bytes: the object padded with whitespace.
std::string stop_body_of_limit() {
    std::string body = kStopJson;
    body.append(kBodyLimit - body.size(), ' ');
    return body;
}

std::vector<RouteCase> route_cases() {
    const Call ping_abc{"ping", {"abc"}};
    const Call start_call{"start", {kAddress, kSession}};
    const Call stop_call{"stop", {kSession}};
    const Headers ping_ok{kText, kNoSniff, kProtocol};
    return {
        // Local-caller check.
        {"PingWithLocalhostPort",
         "GET",
         "/ping?coreSha256=abc",
         {{"Host", "localhost:12345"}},
         {},
         200,
         ping_ok,
         kPingBody,
         {ping_abc}},
        {"HostUpperCase",
         "GET",
         "/ping?coreSha256=abc",
         {{"host", "LOCALHOST"}},
         {},
         200,
         ping_ok,
         kPingBody,
         {ping_abc}},
        {"HostServiceName",
         "GET",
         "/ping?coreSha256=abc",
         {{"Host", "drovanehelperservice:"}},
         {},
         200,
         ping_ok,
         kPingBody,
         {ping_abc}},
        {"HostWithUserInfo",
         "GET",
         "/ping?coreSha256=abc",
         {{"Host", "user@localhost"}},
         {},
         200,
         ping_ok,
         kPingBody,
         {ping_abc}},
        {"NoHostAdmitted",
         "GET",
         "/ping?coreSha256=abc",
         {},
         {},
         200,
         ping_ok,
         kPingBody,
         {ping_abc}},
        {"HostIpv6Loopback",
         "GET",
         "/ping?coreSha256=abc",
         {{"Host", "[::1]:12345"}},
         {},
         403,
         {kJson, kClose},
         kForbidden,
         {}},
        {"HostOtherName",
         "GET",
         "/ping?coreSha256=abc",
         {{"Host", "example.com"}},
         {},
         403,
         {kJson, kClose},
         kForbidden,
         {}},
        {"HostWithPath",
         "GET",
         "/logs",
         {{"Host", "localhost/x"}},
         {},
         403,
         {kJson, kClose},
         kForbidden,
         {}},
        {"HostEmpty", "GET", "/logs", {{"Host", ""}}, {}, 403, {kJson, kClose}, kForbidden, {}},
        {"HostWithTab",
         "GET",
         "/logs",
         {{"Host", "local\thost"}},
         {},
         403,
         {kJson, kClose},
         kForbidden,
         {}},
        {"OriginEmptyOnUnknownPath",
         "GET",
         "/nothing",
         {{"Origin", ""}},
         {},
         403,
         {kJson, kClose},
         kForbidden,
         {}},
        {"OriginNullOnPing",
         "GET",
         "/ping?coreSha256=abc",
         {{"Host", "localhost"}, {"Origin", "null"}},
         {},
         403,
         {kJson, kClose},
         kForbidden,
         {}},
        {"OriginBeforeWrongMethod",
         "DELETE",
         "/stop",
         {{"Origin", "http://localhost"}},
         {},
         403,
         {kJson, kClose},
         kForbidden,
         {}},
        {"OriginNonAscii",
         "GET",
         "/ping?coreSha256=abc",
         {{"Origin", "http://caf\xc3\xa9"}},
         {},
         400,
         {kJson},
         kBadHeader,
         {}},
        {"HostNonAsciiBeforeOrigin",
         "GET",
         "/logs",
         {{"Origin", "null"}, {"Host", "localhost\x80"}},
         {},
         400,
         {kJson},
         kBadHeader,
         {}},
        {"HostControlChar",
         "GET",
         "/logs",
         {{"Host", "local\x01host"}},
         {},
         400,
         {kJson},
         kBadHeader,
         {}},
        {"BadHeaderBeforeNotFound",
         "GET",
         "/nothing",
         {{"Host", "local\x01host"}},
         {},
         400,
         {kJson},
         kBadHeader,
         {}},
        {"OriginOnStopBeforeBody",
         "POST",
         "/stop",
         {{"Origin", "http://localhost"}, {"Content-Length", length_of(kStopJson)}},
         kStopJson,
         403,
         {kJson, kClose},
         kForbidden,
         {}},
        {"OriginOnStartBeforeBody",
         "POST",
         "/start",
         {{"Origin", "null"}, {"Content-Length", length_of(kStartJson)}},
         kStartJson,
         403,
         {kJson, kClose},
         kForbidden,
         {}},
        {"OnlyFirstHostCounts",
         "GET",
         "/ping?coreSha256=abc",
         {{"Host", "localhost"}, {"Host", "evil.example"}},
         {},
         200,
         ping_ok,
         kPingBody,
         {ping_abc}},
        // Paths.
        {"UnknownPath", "GET", "/nothing", {}, {}, 404, {kJson}, kNotFound, {}},
        {"RootPath", "GET", "/", {}, {}, 404, {kJson}, kNotFound, {}},
        {"PathCaseMatters", "GET", "/Ping?coreSha256=abc", {}, {}, 404, {kJson}, kNotFound, {}},
        {"PathDoubleSlash", "GET", "/ping//?coreSha256=abc", {}, {}, 404, {kJson}, kNotFound, {}},
        {"PathExtraSegment",
         "GET",
         "/ping/extra?coreSha256=abc",
         {},
         {},
         404,
         {kJson},
         kNotFound,
         {}},
        {"PathPercentEncoded",
         "GET",
         "/p%69ng?coreSha256=abc",
         {},
         {},
         404,
         {kJson},
         kNotFound,
         {}},
        {"PathTrailingSlash",
         "GET",
         "/ping/?coreSha256=abc",
         {},
         {},
         200,
         ping_ok,
         kPingBody,
         {ping_abc}},
        // Methods: checked before query and body.
        {"PostPing",
         "POST",
         "/ping?coreSha256=abc",
         {{"Content-Length", "0"}},
         {},
         405,
         {kJson},
         kBadMethod,
         {}},
        {"PostPingBadQuery", "POST", "/ping", {}, {}, 405, {kJson}, kBadMethod, {}},
        {"GetStart", "GET", "/start", {}, {}, 405, {kJson}, kBadMethod, {}},
        {"HeadLogs", "HEAD", "/logs", {}, {}, 405, {kJson}, kBadMethod, {}},
        {"PutStop", "PUT", "/stop", {{"Content-Length", "4097"}}, {}, 405, {kJson}, kBadMethod, {}},
        {"LowerCaseMethod", "get", "/logs", {}, {}, 405, {kJson}, kBadMethod, {}},
        // Ping query.
        {"PingNoQuery", "GET", "/ping", {}, {}, 400, {kJson, kProtocol}, kBadQuery, {}},
        {"PingEmptyQuery", "GET", "/ping?", {}, {}, 400, {kJson, kProtocol}, kBadQuery, {}},
        {"PingKeyTwice",
         "GET",
         "/ping?coreSha256=a&coreSha256=a",
         {},
         {},
         400,
         {kJson, kProtocol},
         kBadQuery,
         {}},
        {"PingExtraKey",
         "GET",
         "/ping?coreSha256=a&x=1",
         {},
         {},
         400,
         {kJson, kProtocol},
         kBadQuery,
         {}},
        {"PingKeyCase",
         "GET",
         "/ping?coresha256=a",
         {},
         {},
         400,
         {kJson, kProtocol},
         kBadQuery,
         {}},
        {"PingEmptyValue",
         "GET",
         "/ping?coreSha256=",
         {},
         {},
         200,
         ping_ok,
         kPingBody,
         {Call{"ping", {""}}}},
        {"PingKeyWithoutEquals",
         "GET",
         "/ping?&coreSha256&&",
         {},
         {},
         200,
         ping_ok,
         kPingBody,
         {Call{"ping", {""}}}},
        {"PingEncodedKeyAndValue",
         "GET",
         "/ping?core%53ha256=a+b%2f%zz%41%ff=",
         {},
         {},
         200,
         ping_ok,
         kPingBody,
         {Call{"ping", {"a b/%zzA\xef\xbf\xbd="}}}},
        // Logs cursor: the bad ones get the log's own rejection, without the protocol header.
        {"LogsCursorNotNumber", "GET", "/logs?after=abc", {}, {}, 400, {kJson}, kBadLogsQuery, {}},
        {"LogsCursorNegative", "GET", "/logs?after=-1", {}, {}, 400, {kJson}, kBadLogsQuery, {}},
        {"LogsCursorWithSpace", "GET", "/logs?after=+1", {}, {}, 400, {kJson}, kBadLogsQuery, {}},
        {"LogsCursorTwentyDigits",
         "GET",
         "/logs?after=00000000000000000001",
         {},
         {},
         400,
         {kJson},
         kBadLogsQuery,
         {}},
        {"LogsCursorAboveInt64",
         "GET",
         "/logs?after=9223372036854775808",
         {},
         {},
         400,
         {kJson},
         kBadLogsQuery,
         {}},
        {"LogsCursorTwice",
         "GET",
         "/logs?after=1&after=1",
         {},
         {},
         400,
         {kJson},
         kBadLogsQuery,
         {}},
        {"LogsCursorEmpty", "GET", "/logs?x=1&after=", {}, {}, 400, {kJson}, kBadLogsQuery, {}},
        {"LogsCursorWithoutEquals", "GET", "/logs?after", {}, {}, 400, {kJson}, kBadLogsQuery, {}},
        // Body rules of start and stop.
        {"StartObject",
         "POST",
         "/start",
         json_post(length_of(kStartJson)),
         kStartJson,
         200,
         {kJson},
         kStartReply,
         {start_call},
         true},
        {"StartArray",
         "POST",
         "/start?ignored=1",
         json_post(length_of("[\"" + kAddress + "\",\"" + kSession + "\"]")),
         R"(["\\\\.\\pipe\\DrovaneCore_0123456789abcdef0123456789abcdef",")" + kSession + R"("])",
         200,
         {kJson},
         kStartReply,
         {start_call},
         true},
        {"StartNoLength", "POST", "/start", {}, kStartJson, 411, {kJson}, kNoLength, {}},
        {"StartChunked",
         "POST",
         "/start",
         {{"Transfer-Encoding", "chunked"}},
         kStartJson,
         411,
         {kJson},
         kNoLength,
         {}},
        {"StartLengthNotNumber",
         "POST",
         "/start",
         {{"Content-Length", "-1"}},
         kStartJson,
         411,
         {kJson},
         kNoLength,
         {}},
        {"StartTooLarge",
         "POST",
         "/start",
         {{"Content-Length", "4097"}, {"Content-Type", "text/plain"}},
         kStartJson,
         413,
         {kJson, kClose},
         kTooLarge,
         {}},
        {"StopChunkedOnly",
         "POST",
         "/stop",
         {{"Transfer-Encoding", "chunked"}},
         kStopJson,
         411,
         {kJson},
         kNoLength,
         {}},
        {"StopTooLarge",
         "POST",
         "/stop",
         {{"Content-Length", "4097"}},
         kStopJson,
         413,
         {kJson, kClose},
         kTooLarge,
         {}},
        {"StartHugeLength",
         "POST",
         "/start",
         {{"Content-Length", "99999999999999999999999"}},
         kStartJson,
         413,
         {kJson, kClose},
         kTooLarge,
         {}},
        {"StartZeroLength",
         "POST",
         "/start",
         {{"Content-Length", "0"}},
         std::nullopt,
         400,
         {kJson},
         kBadBody,
         {}},
        {"StopTextPlain",
         "POST",
         "/stop",
         {{"Content-Length", length_of(kStopJson)}, {"Content-Type", "text/plain"}},
         kStopJson,
         500,
         {kJson},
         kUnhandled,
         {}},
        {"StopProblemJson",
         "POST",
         "/stop",
         {{"Content-Length", length_of(kStopJson)}, {"Content-Type", "application/problem+json"}},
         kStopJson,
         500,
         {kJson},
         kUnhandled,
         {}},
        {"StopJsonWithCharset",
         "POST",
         "/stop",
         {{"Content-Length", length_of(kStopJson)},
          {"Content-Type", "Application/JSON; charset=utf-8"}},
         kStopJson,
         200,
         {kJson},
         kStopReply,
         {stop_call},
         true},
        {"StopNullSession",
         "POST",
         "/stop",
         json_post("18"),
         R"({"sessionId":null})",
         400,
         {kJson},
         kBadBody,
         {},
         true},
        {"StopBodyAtLimit",
         "POST",
         "/stop",
         json_post("4096"),
         stop_body_of_limit(),
         200,
         {kJson},
         kStopReply,
         {stop_call},
         true},
    };
}

// Test names and failure messages show the case's name, not its bytes.
void PrintTo(const RouteCase& c, std::ostream* os) {
    *os << c.name;
}

class RouteTable : public ::testing::TestWithParam<RouteCase> {};

// Every header of the reply, in order, and no other.
void expect_headers(const Reply& reply, const Headers& expected) {
    ASSERT_EQ(reply.headers.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(reply.headers[i].name, expected[i].name);
        EXPECT_EQ(reply.headers[i].value, expected[i].value);
    }
}

TEST_P(RouteTable, AnswersWithTheExpectedReply) {
    const RouteCase& c = GetParam();
    RecordingCore core;
    BlockingPool pool(4);
    RequestRouter router(core, pool);

    ScriptedBody body(c.body.value_or(""));
    Request request{c.method, c.target, c.headers, c.body ? &body : nullptr};
    const Reply reply = route_once(router, request);

    EXPECT_EQ(reply.status, c.status);
    EXPECT_EQ(reply.body, c.reply_body);
    expect_headers(reply, c.reply_headers);
    EXPECT_EQ(reply.closes_connection(), c.status == 403 || c.status == 413);
    EXPECT_EQ(core.calls(), c.calls);
    EXPECT_EQ(body.reads, c.body_read ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Router, RouteTable, ::testing::ValuesIn(route_cases()),
                         [](const auto& info) { return info.param.name; });

TEST(Router, BodyReadFailureIsUnhandledRejection) {
    RecordingCore core;
    BlockingPool pool(1);
    RequestRouter router(core, pool);
    ScriptedBody body = ScriptedBody::failing();
    Request request{"POST", "/stop", {{"Content-Length", "10"}}, &body};
    const Reply reply = route_once(router, request);
    EXPECT_EQ(reply.status, 500u);
    EXPECT_EQ(reply.body, kUnhandled);
    EXPECT_TRUE(core.calls().empty());
}

TEST(Router, LogsReplyIsTheHelperLog) {
    append_helper_log("router test line");
    RecordingCore core;
    BlockingPool pool(1);
    RequestRouter router(core, pool);
    Request request{"GET", "/logs/?ignored=1", {{"Host", "127.0.0.1"}}, nullptr};
    const Reply reply = route_once(router, request);
    EXPECT_EQ(reply.status, 200u);
    EXPECT_EQ(reply.body, helper_log_text());
    ASSERT_NE(reply.header("cache-control"), nullptr);
    EXPECT_EQ(*reply.header("cache-control"), "no-store");
    EXPECT_EQ(reply.header(kProtocolHeader), nullptr);
    EXPECT_TRUE(reply.body.ends_with("router test line"));
    EXPECT_EQ(pool.thread_count(), 0u);  // logs never runs on the pool
}

// Following the log through the router. Each case has a log of its own with the given window
// and a list of polls: the lines appended before the poll, the request, and what it answers.
struct LogPoll {
    std::vector<std::string> append;
    std::string target;
    std::string body;
    std::uint64_t next;
    std::optional<std::uint64_t> dropped;  // the header is absent without it
};

struct LogFollowCase {
    std::string name;
    std::size_t window;
    std::vector<LogPoll> polls;
};

void PrintTo(const LogFollowCase& c, std::ostream* os) {
    *os << c.name;
}

// "line <from>" to "line <to - 1>".
std::vector<std::string> numbered(int from, int to) {
    std::vector<std::string> lines;
    for (int i = from; i < to; ++i) {
        lines.push_back("line " + std::to_string(i));
    }
    return lines;
}

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += (text.empty() ? "" : "\n") + line;
    }
    return text;
}

std::vector<LogFollowCase> log_follow_cases() {
    const std::vector<std::string> same(3, "same line");
    return {
        {"EmptyLog", 100, {{{}, "/logs", "", 1, {}}, {{}, "/logs?after=0", "", 1, {}}}},
        {"NoCursorIsTheWholeWindow", 3, {{numbered(1, 6), "/logs", joined(numbered(3, 6)), 6, {}}}},
        {"CursorGivesOnlyLaterLines",
         100,
         {{{"a", "b", "c"}, "/logs?after=1", "b\nc", 4, {}},
          {{}, "/logs/?other=x&after=%33", "", 4, {}}}},
        // A restarted Helper numbers from 1 again: the client sees next below its cursor.
        {"CursorPastTheNewest",
         100,
         {{{"a", "b"}, "/logs?after=50", "", 3, {}},
          {{}, "/logs?after=9223372036854775807", "", 3, {}}}},
        {"IdenticalLinesAcrossTwoPolls",
         100,
         {{same, "/logs?after=0", joined(same), 4, {}},
          {{"same line", "same line"}, "/logs?after=3", "same line\nsame line", 6, {}}}},
        {"MoreThanTheWindowBetweenPolls",
         100,
         {{numbered(1, 11), "/logs?after=0", joined(numbered(1, 11)), 11, {}},
          {numbered(11, 161), "/logs?after=10", joined(numbered(61, 161)), 161, 50}}},
        // Lines 1 and 2 have left a window of 3 after 5 appends.
        {"DroppedCountsOnlyLinesAfterTheCursor",
         3,
         {{numbered(1, 6), "/logs?after=0", joined(numbered(3, 6)), 6, 2},
          {{}, "/logs?after=1", joined(numbered(3, 6)), 6, 1},
          {{}, "/logs?after=2", joined(numbered(3, 6)), 6, {}},
          {{}, "/logs?after=4", "line 5", 6, {}}}},
    };
}

class LogFollow : public ::testing::TestWithParam<LogFollowCase> {};

TEST_P(LogFollow, PollsGetTheLinesAfterTheirCursor) {
    const LogFollowCase& c = GetParam();
    RecordingCore core;
    BlockingPool pool(1);
    HelperLogList log(c.window);
    RequestRouter router(core, pool, log);
    for (std::size_t i = 0; i < c.polls.size(); ++i) {
        const LogPoll& poll = c.polls[i];
        SCOPED_TRACE("poll " + std::to_string(i) + ": " + poll.target);
        for (const std::string& line : poll.append) {
            log.append(line);
        }
        Request request{"GET", poll.target, {}, nullptr};
        const Reply reply = route_once(router, request);
        EXPECT_EQ(reply.status, 200u);
        EXPECT_EQ(reply.body, poll.body);
        // The reply of today's logs, with the cursor headers after its own.
        Headers expected{kText,
                         kNoSniff,
                         {"cache-control", "no-store"},
                         {std::string(kLogNextHeader), std::to_string(poll.next)}};
        if (poll.dropped) {
            expected.push_back({std::string(kLogDroppedHeader), std::to_string(*poll.dropped)});
        }
        expect_headers(reply, expected);
    }
}

INSTANTIATE_TEST_SUITE_P(Router, LogFollow, ::testing::ValuesIn(log_follow_cases()),
                         [](const auto& info) { return info.param.name; });

// Every ping outcome goes out with the protocol header, a failure's included.
TEST(Router, PingRepliesAlwaysCarryTheProtocolHeader) {
    RecordingCore core;
    core.ping_hook = [](const std::string&) { return CoreDigestMismatch{}; };
    BlockingPool pool(1);
    RequestRouter router(core, pool);
    Request request{"GET", "/ping?coreSha256=0", {}, nullptr};
    const Reply reply = route_once(router, request);
    EXPECT_EQ(reply.status, 409u);
    EXPECT_EQ(reply.body, error_body("coreSha256Mismatch", "Core SHA256 mismatch"));
    ASSERT_NE(reply.header(kProtocolHeader), nullptr);
    EXPECT_EQ(*reply.header(kProtocolHeader), "8");
}

// Each outcome of the operations becomes its one reply (these also give the protocol-document
// check a reply of each shape).
using Outcome = std::variant<PingOutcome, StartOutcome, StopOutcome>;

struct OperationReplyCase {
    std::string name;
    std::string method;
    std::string target;
    std::string body;
    Outcome outcome;
    Reply reply;
};

void PrintTo(const OperationReplyCase& c, std::ostream* os) {
    *os << c.name;
}

class OperationReplies : public ::testing::TestWithParam<OperationReplyCase> {};

TEST_P(OperationReplies, AnswerWithTheOutcomesReply) {
    const OperationReplyCase& c = GetParam();
    RecordingCore core;
    core.ping_hook = [&](const std::string&) { return std::get<PingOutcome>(c.outcome); };
    core.start_hook = [&](const StartParams&) { return std::get<StartOutcome>(c.outcome); };
    core.stop_hook = [&](const StopParams&) { return std::get<StopOutcome>(c.outcome); };
    BlockingPool pool(1);
    RequestRouter router(core, pool);
    ScriptedBody body(c.body);
    Request request{c.method, c.target, {{"Content-Length", length_of(c.body)}}, &body};
    const Reply reply = route_once(router, request);
    EXPECT_EQ(reply.status, c.reply.status);
    EXPECT_EQ(reply.body, c.reply.body);
    expect_headers(reply, c.reply.headers);
    EXPECT_EQ(core.calls().size(), 1u);
}

Reply with_protocol(Reply reply) {
    return with_header(std::move(reply), kProtocolHeader, kProtocolVersion);
}

CoreFailure failure(CoreFailureKind kind, Error error) {
    return CoreFailure{kind, std::move(error)};
}

std::vector<OperationReplyCase> operation_reply_cases() {
    using Kind = CoreFailureKind;
    const Error denied = Error::os(5);
    // An OS error under context: the reply names the whole chain.
    const Error launch = Error::os(2).context("launch Core");
    return {
        {"PingPath", "GET", "/ping?coreSha256=0", "", PingOutcome{HelperPath{"C:\\h\\x.exe"}},
         with_protocol(text_reply(200, "C:\\h\\x.exe"))},
        {"PingMismatch", "GET", "/ping?coreSha256=0", "", PingOutcome{CoreDigestMismatch{}},
         with_protocol(error_reply(409, "coreSha256Mismatch", "Core SHA256 mismatch"))},
        {"PingFailureText", "GET", "/ping?coreSha256=0", "",
         PingOutcome{Error("read the Helper path")},
         with_protocol(text_reply(409, "read the Helper path"))},
        {"StartStarted", "POST", "/start", kStartJson, StartOutcome{CoreStarted{77}},
         json_reply(200, StartReply{kSession, 77})},
        {"StartVerification", "POST", "/start", kStartJson,
         StartOutcome{failure(Kind::verification_failed, Error("Core executable SHA256 mismatch"))},
         error_reply(409, "coreVerificationFailed", "Core executable SHA256 mismatch")},
        // Only a launch failure reports the system code; a verification failure keeps it in the
        // text alone.
        {"StartVerificationOsError", "POST", "/start", kStartJson,
         StartOutcome{failure(Kind::verification_failed, denied)},
         error_reply(409, "coreVerificationFailed", denied.text())},
        {"StartBadAddress", "POST", "/start", kStartJson,
         StartOutcome{failure(Kind::invalid_address, Error("invalid Core address"))},
         error_reply(400, "invalidRequest", "invalid Core address")},
        {"StartBadSession", "POST", "/start", kStartJson,
         StartOutcome{failure(Kind::invalid_session, Error("invalid Core session ID"))},
         error_reply(400, "invalidRequest", "invalid Core session ID")},
        {"StartLaunchOsError", "POST", "/start", kStartJson,
         StartOutcome{failure(Kind::launch_failed, launch)},
         error_reply(500, "processLaunchFailed", launch.text(), 2)},
        {"StartLaunchNoCode", "POST", "/start", kStartJson,
         StartOutcome{failure(Kind::launch_failed, Error("launch Core"))},
         error_reply(500, "processLaunchFailed", "launch Core")},
        {"StartConfinement", "POST", "/start", kStartJson,
         StartOutcome{failure(Kind::confinement_failed, denied)},
         error_reply(500, "internalError", "Core confinement failed: " + denied.text())},
        {"StartRelease", "POST", "/start", kStartJson,
         StartOutcome{failure(Kind::stop_failed, Error("terminate Core"))},
         error_reply(500, "coreStopFailed", "terminate Core")},
        {"StartInternal", "POST", "/start", kStartJson,
         StartOutcome{failure(Kind::internal, Error("std::bad_alloc"))},
         error_reply(500, "internalError", "Core start task failed: std::bad_alloc")},
        {"StopStopped", "POST", "/stop", kStopJson, StopOutcome{CoreStopped::stopped},
         json_reply(200, StopReply{kSession, true, std::nullopt})},
        {"StopNotRunning", "POST", "/stop", kStopJson, StopOutcome{CoreStopped::not_running},
         json_reply(200, StopReply{kSession, false, "notRunning"})},
        {"StopSessionMismatch", "POST", "/stop", kStopJson,
         StopOutcome{CoreStopped::session_mismatch},
         json_reply(409, StopReply{kSession, false, "sessionMismatch"})},
        {"StopBadSession", "POST", "/stop", kStopJson,
         StopOutcome{failure(Kind::invalid_session, Error("invalid Core session ID"))},
         error_reply(400, "invalidRequest", "invalid Core session ID")},
        {"StopRelease", "POST", "/stop", kStopJson,
         StopOutcome{failure(Kind::stop_failed, Error("terminate Core"))},
         error_reply(500, "coreStopFailed", "terminate Core")},
    };
}

INSTANTIATE_TEST_SUITE_P(Router, OperationReplies, ::testing::ValuesIn(operation_reply_cases()),
                         [](const auto& info) { return info.param.name; });

struct TaskFailureCase {
    std::string name;
    std::string method;
    std::string target;
    std::string body;
    unsigned status;
    Headers reply_headers;
    std::string reply_body;
};

void PrintTo(const TaskFailureCase& c, std::ostream* os) {
    *os << c.name;
}

class TaskFailure : public ::testing::TestWithParam<TaskFailureCase> {};

TEST_P(TaskFailure, AnswersWithTheReplacementReply) {
    const TaskFailureCase& c = GetParam();
    RecordingCore core;
    core.throw_text = "the task broke";
    core.ping_hook = [](const std::string&) -> PingOutcome {
        throw std::runtime_error("the task broke");
    };
    BlockingPool pool(2);
    RequestRouter router(core, pool);
    ScriptedBody body(c.body);
    Request request{c.method, c.target, {{"Content-Length", length_of(c.body)}}, &body};
    const Reply reply = route_once(router, request);
    EXPECT_EQ(reply.status, c.status);
    EXPECT_EQ(reply.body, c.reply_body);
    expect_headers(reply, c.reply_headers);
    EXPECT_EQ(core.calls().size(), 1u);
    // Replacement replies are not logged.
    EXPECT_EQ(helper_log_text().find("task failed"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Router, TaskFailure,
    ::testing::Values(
        TaskFailureCase{"Start",
                        "POST",
                        "/start",
                        kStartJson,
                        500,
                        {kJson},
                        error_body("internalError",
                                   "Core start task failed: blocking task failed: the task "
                                   "broke")},
        TaskFailureCase{"Stop",
                        "POST",
                        "/stop",
                        kStopJson,
                        500,
                        {kJson},
                        error_body("internalError",
                                   "Core stop task failed: blocking task failed: the task broke")},
        TaskFailureCase{"Ping",
                        "GET",
                        "/ping?coreSha256=x",
                        "",
                        409,
                        {kText, kNoSniff, kProtocol},
                        "Helper ping task failed: blocking task failed: the task broke"}),
    [](const auto& info) { return info.param.name; });

// While ping blocks on a pool thread, the only worker thread of the runtime stays free: a logs
// request on the same io_context is answered in the meantime, and only then does ping finish.
TEST(Router, WaitingForTheTaskHoldsNoWorkerThread) {
    RecordingCore core;
    std::promise<void> logs_answered;
    std::future<void> logs_done = logs_answered.get_future();
    std::thread::id io_thread;
    std::thread::id ping_thread;
    core.ping_hook = [&](const std::string&) {
        ping_thread = std::this_thread::get_id();
        const bool answered =
            logs_done.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
        return answered ? PingOutcome{HelperPath{}} : PingOutcome{Error("logs never answered")};
    };
    BlockingPool pool(2);
    RequestRouter router(core, pool);
    Request ping{"GET", "/ping?coreSha256=x", {}, nullptr};
    Request logs{"GET", "/logs", {}, nullptr};

    boost::asio::io_context io;
    std::optional<Reply> ping_reply;
    boost::asio::co_spawn(io, router.route_request(ping),
                          [&](std::exception_ptr, Reply r) { ping_reply = std::move(r); });
    boost::asio::co_spawn(io, router.route_request(logs), [&](std::exception_ptr, Reply r) {
        EXPECT_EQ(r.status, 200u);
        logs_answered.set_value();
    });
    io_thread = std::this_thread::get_id();
    io.run();

    ASSERT_TRUE(ping_reply.has_value());
    EXPECT_EQ(ping_reply->status, 200u);
    EXPECT_NE(ping_thread, io_thread);
}

}  // namespace
}  // namespace drovane::hub
