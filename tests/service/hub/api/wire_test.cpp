// Reply writers (exact bytes and headers), header lookup, the body readers, and the admission
// rules that need no I/O: hosts, media types, lengths, the ping query, the rejection replies.
#include <gtest/gtest.h>

#include "service/hub/api/router.hpp"
#include "service/hub/api/router_rules.hpp"
#include "service/hub/api/wire.hpp"

namespace drovane::hub {
namespace {

TEST(Wire, NotFoundReplyIsCompactWithMembersInOrder) {
    const Reply reply = error_reply(404, "notFound", "Helper endpoint not found");
    EXPECT_EQ(reply.status, 404u);
    EXPECT_EQ(reply.body, R"({"code":"notFound","message":"Helper endpoint not found"})");
    EXPECT_EQ(reply.body.size(), 57u);
    ASSERT_EQ(reply.headers.size(), 1u);
    EXPECT_EQ(reply.headers[0].name, "content-type");
    EXPECT_EQ(reply.headers[0].value, "application/json");
}

TEST(Wire, StringsAreEscapedByTheStandardRules) {
    const std::string message =
        std::string("q\"b\\ \b\f\n\r\t \x01\x1f\x7f /caf\xc3\xa9 \xe2\x82\xac") +
        std::string(1, '\0');
    const Reply reply = error_reply(500, "internalError", message);
    EXPECT_EQ(reply.body,
              "{\"code\":\"internalError\",\"message\":\"q\\\"b\\\\ \\b\\f\\n\\r\\t "
              "\\u0001\\u001f\x7f /caf\xc3\xa9 \xe2\x82\xac\\u0000\"}");
}

TEST(Wire, InvalidUtf8InATextStillGivesValidJson) {
    const Reply reply = error_reply(500, "internalError", "bad \xff byte");
    EXPECT_EQ(reply.body,
              "{\"code\":\"internalError\",\"message\":\"bad \xef\xbf\xbd"
              " byte\"}");
}

TEST(Wire, DetailsOnlyWithASystemErrorCode) {
    EXPECT_EQ(
        error_reply(500, "processLaunchFailed", "launch failed", 2).body,
        R"({"code":"processLaunchFailed","message":"launch failed","details":{"osError":2}})");
    EXPECT_EQ(error_reply(500, "processLaunchFailed", "x", -2147024894).body,
              R"({"code":"processLaunchFailed","message":"x","details":{"osError":-2147024894}})");
    EXPECT_EQ(error_reply(500, "processLaunchFailed", "launch failed").body,
              R"({"code":"processLaunchFailed","message":"launch failed"})");
}

TEST(Wire, StartAndStopReplies) {
    EXPECT_EQ(json_reply(200, StartReply{"ab", 4294967295u}).body,
              R"({"sessionId":"ab","pid":4294967295})");
    EXPECT_EQ(json_reply(200, StopReply{"ab", true, std::nullopt}).body,
              R"({"sessionId":"ab","stopped":true})");
    const Reply mismatch = json_reply(409, StopReply{"ab", false, "sessionMismatch"});
    EXPECT_EQ(mismatch.status, 409u);
    EXPECT_EQ(mismatch.body, R"({"sessionId":"ab","stopped":false,"reason":"sessionMismatch"})");
    EXPECT_EQ(*mismatch.header("Content-Type"), "application/json");
}

TEST(Wire, TextReplyKeepsTheTextAsItStands) {
    const Reply reply = text_reply(409, "no\nfinal line feed");
    EXPECT_EQ(reply.status, 409u);
    EXPECT_EQ(reply.body, "no\nfinal line feed");
    ASSERT_EQ(reply.headers.size(), 2u);
    EXPECT_EQ(reply.headers[0].value, "text/plain; charset=utf-8");
    EXPECT_EQ(*reply.header("x-content-type-options"), "nosniff");
}

TEST(Wire, WithHeaderAddsOrReplacesByName) {
    Reply reply = with_header(text_reply(200, ""), "X-Drovane-Helper-Protocol", "7");
    reply = with_header(std::move(reply), "x-drovane-helper-protocol", "8");
    reply = with_header(std::move(reply), "connection", "close");
    ASSERT_EQ(reply.headers.size(), 4u);
    EXPECT_EQ(reply.headers[2].name, "x-drovane-helper-protocol");
    EXPECT_EQ(reply.headers[2].value, "8");
    EXPECT_TRUE(reply.closes_connection());
}

TEST(Wire, ClosesConnectionOnlyForTheCloseOption) {
    Reply reply;
    EXPECT_FALSE(reply.closes_connection());
    reply.headers = {{"connection", "keep-alive"}};
    EXPECT_FALSE(reply.closes_connection());
    reply.headers = {{"Connection", "keep-alive, Close"}};
    EXPECT_TRUE(reply.closes_connection());
}

TEST(Wire, RequestTargetAndHeaders) {
    Request request{"GET", "/ping?coreSha256=a?b", {{"HOST", "one"}, {"host", "two"}}, nullptr};
    EXPECT_EQ(request.path(), "/ping");
    EXPECT_EQ(request.query(), std::optional<std::string_view>("coreSha256=a?b"));
    EXPECT_EQ(*request.header("Host"), "one");
    EXPECT_EQ(request.header("origin"), nullptr);
    request.target = "/logs";
    EXPECT_EQ(request.path(), "/logs");
    EXPECT_FALSE(request.query().has_value());
    request.target = "/logs?";
    EXPECT_EQ(request.query(), std::optional<std::string_view>(""));
}

struct BodyCase {
    std::string_view body;
    std::optional<std::vector<std::string>> fields;  // what the reader yields, or a refusal
};

void PrintTo(const BodyCase& c, std::ostream* os) {
    *os << ::testing::PrintToString(std::string(c.body));
}

class StartBody : public ::testing::TestWithParam<BodyCase> {};
class StopBody : public ::testing::TestWithParam<BodyCase> {};

TEST_P(StartBody, IsReadIntoTheShape) {
    const auto parsed = parse_start_params(GetParam().body);
    ASSERT_EQ(parsed.has_value(), GetParam().fields.has_value()) << GetParam().body;
    if (parsed) {
        EXPECT_EQ(parsed->address, (*GetParam().fields)[0]);
        EXPECT_EQ(parsed->session_id, (*GetParam().fields)[1]);
    }
}

TEST_P(StopBody, IsReadIntoTheShape) {
    const auto parsed = parse_stop_params(GetParam().body);
    ASSERT_EQ(parsed.has_value(), GetParam().fields.has_value()) << GetParam().body;
    if (parsed) {
        EXPECT_EQ(parsed->session_id, (*GetParam().fields)[0]);
    }
}

using Fields = std::vector<std::string>;

INSTANTIATE_TEST_SUITE_P(
    Wire, StartBody,
    ::testing::Values(BodyCase{R"({"address":"a","sessionId":"s"})", Fields{"a", "s"}},
                      BodyCase{R"({"sessionId":"s","address":"a"})", Fields{"a", "s"}},
                      BodyCase{R"(["a","s"])", Fields{"a", "s"}},
                      BodyCase{" \t\r\n[\"a\" , \"s\"]\n", Fields{"a", "s"}},
                      BodyCase{R"({"addr\u0065ss":"\\\\.\\pipe\\x","sessionId":"\u00e9"})",
                               Fields{"\\\\.\\pipe\\x", "\xc3\xa9"}},
                      BodyCase{R"(["a"])", std::nullopt},
                      BodyCase{R"(["a","s","x"])", std::nullopt},
                      BodyCase{R"(["a",["s"]])", std::nullopt},
                      BodyCase{R"({"address":"a"})", std::nullopt},
                      BodyCase{R"({"address":"a","sessionId":"s","x":"y"})", std::nullopt},
                      BodyCase{R"({"address":"a","address":"b","sessionId":"s"})", std::nullopt},
                      BodyCase{R"({"Address":"a","sessionId":"s"})", std::nullopt},
                      BodyCase{R"({"address":1,"sessionId":"s"})", std::nullopt}),
    [](const auto& info) { return "Case" + std::to_string(info.index); });

INSTANTIATE_TEST_SUITE_P(
    Wire, StopBody,
    ::testing::Values(BodyCase{R"({"sessionId":"s"})", Fields{"s"}},
                      BodyCase{R"(["s"])", Fields{"s"}},
                      BodyCase{R"({"sessionId":""})", Fields{""}},
                      BodyCase{R"({"sessionId":null})", std::nullopt},
                      BodyCase{R"({"sessionId":5})", std::nullopt},
                      BodyCase{R"({"sessionId":true})", std::nullopt},
                      BodyCase{R"({"sessionId":{}})", std::nullopt},
                      BodyCase{R"({"sessionId":"s","sessionId":"s"})", std::nullopt},
                      BodyCase{R"(["s","t"])", std::nullopt}, BodyCase{"[]", std::nullopt},
                      BodyCase{"{}", std::nullopt}, BodyCase{R"("s")", std::nullopt},
                      BodyCase{"", std::nullopt}, BodyCase{"   ", std::nullopt},
                      BodyCase{R"({"sessionId":"s"} x)", std::nullopt},
                      BodyCase{R"({"sessionId":"s"}{})", std::nullopt},
                      BodyCase{R"({"sessionId":"s"})", Fields{"s"}},
                      BodyCase{std::string_view("{\"sessionId\":\"s\"}\0", 18), std::nullopt},
                      BodyCase{R"({"sessionId":"s",})", std::nullopt},
                      BodyCase{R"({"sessionId":"s"} // note)", std::nullopt},
                      BodyCase{"{\"sessionId\":\"\xff\"}", std::nullopt},
                      BodyCase{"{\"sessionId\":\"\xc3\xa9\"}", Fields{"\xc3\xa9"}},
                      BodyCase{R"({"sessionId":"s")", std::nullopt},
                      BodyCase{"\f{\"sessionId\":\"s\"}", std::nullopt}),
    [](const auto& info) { return "Case" + std::to_string(info.index); });

TEST(Admission, AllowedHosts) {
    for (std::string_view host :
         {"127.0.0.1", "localhost", "DrovaneHelperService", "LocalHost:8080",
          "localhost:", "localhost:abc", "user@localhost", "a@b@127.0.0.1:1", "u%20x@localhost",
          "[x@y]@localhost", "localhost:[1]"}) {
        EXPECT_TRUE(is_allowed_host(host)) << host;
    }
    for (std::string_view host : {"",
                                  "[::1]",
                                  "[::1]:80",
                                  "127.0.0.2",
                                  "localhost.",
                                  "example.com",
                                  "localhost@",
                                  "localhost/x",
                                  "localhost?",
                                  "localhost#",
                                  "localhost:1:2",
                                  "local%68ost",
                                  "localhost%",
                                  "local host",
                                  "\"localhost\"",
                                  "<localhost>",
                                  "{localhost}",
                                  "local\\host",
                                  "localhost\t",
                                  "[localhost",
                                  "[a][b]@localhost",
                                  "localhost|",
                                  "localhost@:80",
                                  "127.0.0.1:80@evil.example"}) {
        EXPECT_FALSE(is_allowed_host(host)) << host;
    }
}

TEST(Admission, VisibleHeaderValues) {
    EXPECT_TRUE(is_visible_header_value(""));
    EXPECT_TRUE(is_visible_header_value(" ~\t"));
    EXPECT_FALSE(is_visible_header_value("\x7f"));
    EXPECT_FALSE(is_visible_header_value("\x1f"));
    EXPECT_FALSE(is_visible_header_value("\x80"));
}

TEST(Admission, JsonMediaTypes) {
    for (std::string_view type :
         {"application/json", "APPLICATION/Json", " application/json ",
          "application/json; charset=utf-8", "application/json;charset=\"utf-8\"",
          "application/json ; a=b ; c=\"d\\\"e\"", "application/json;"}) {
        EXPECT_TRUE(is_json_media_type(type)) << type;
    }
    for (std::string_view type :
         {"", "application", "application/", "/json", "text/plain", "application/problem+json",
          "*/*", "application/*", "application/jsonx", "application/json charset=utf-8",
          "application/json; charset", "application/json; charset=", "application /json",
          "application/json; charset=\"utf-8", "application/json, text/plain"}) {
        EXPECT_FALSE(is_json_media_type(type)) << type;
    }
}

TEST(Admission, ContentLengths) {
    EXPECT_EQ(parse_content_length("0"), std::optional<std::uint64_t>(0));
    EXPECT_EQ(parse_content_length("4096"), std::optional<std::uint64_t>(4096));
    EXPECT_EQ(parse_content_length("007"), std::optional<std::uint64_t>(7));
    EXPECT_GT(*parse_content_length("184467440737095516160"), kBodyLimit);
    for (std::string_view bad : {"", " ", "+1", "-1", "1.0", "0x10", "1 2", "1,1"}) {
        EXPECT_FALSE(parse_content_length(bad).has_value()) << bad;
    }
}

TEST(Admission, PingQueries) {
    using Q = std::optional<std::string_view>;
    EXPECT_EQ(parse_ping_query(Q("coreSha256=ab")), std::optional<std::string>("ab"));
    EXPECT_EQ(parse_ping_query(Q("&&coreSha256=a=b&")), std::optional<std::string>("a=b"));
    EXPECT_EQ(parse_ping_query(Q("coreSha256=%E2%82%AC%e2")),
              std::optional<std::string>("\xe2\x82\xac\xef\xbf\xbd"));
    EXPECT_EQ(parse_ping_query(Q("coreSha256=%4")), std::optional<std::string>("%4"));
    for (Q bad : {Q(), Q(""), Q("&"), Q("x=1"), Q("coreSha256=a&coreSha256=b"),
                  Q("coreSha256=a&=b"), Q("coreSha256%3Da")}) {
        EXPECT_FALSE(parse_ping_query(bad).has_value()) << bad.value_or("(absent)");
    }
}

TEST(Admission, FirstRejectionInTheFixedOrderDecides) {
    struct Case {
        std::vector<RejectionKind> kinds;
        unsigned status;
        std::string_view message;
    };
    using K = RejectionKind;
    const std::vector<Case> cases = {
        {{}, 404, "Helper endpoint not found"},
        {{K::NotFound}, 404, "Helper endpoint not found"},
        {{K::NotFound, K::MethodNotAllowed, K::NotFound},
         405,
         "Helper endpoint does not accept this method"},
        {{K::MethodNotAllowed, K::ForbiddenCaller},
         403,
         "browser origins and non-local hosts are not allowed"},
        {{K::InvalidHeader, K::InvalidQuery}, 400, "invalid ping query"},
        {{K::PayloadTooLarge, K::InvalidBody}, 400, "invalid JSON request body"},
        {{K::LengthRequired, K::PayloadTooLarge}, 413, "request body exceeds 4096 bytes"},
        {{K::InvalidHeader, K::LengthRequired}, 411, "request body length is required"},
        {{K::MethodNotAllowed, K::InvalidHeader}, 400, "invalid request header"},
        {{K::UnsupportedMediaType}, 500, "unhandled Helper request rejection"},
        {{K::BodyReadFailed, K::NotFound}, 500, "unhandled Helper request rejection"},
    };
    for (const Case& c : cases) {
        Rejection rejection;
        for (K kind : c.kinds) {
            rejection.add(kind);
        }
        const Reply reply = reply_for_rejection(rejection);
        EXPECT_EQ(reply.status, c.status);
        EXPECT_NE(reply.body.find(std::string("\"message\":\"") + std::string(c.message) + "\"}"),
                  std::string::npos)
            << reply.body;
    }
}

}  // namespace
}  // namespace drovane::hub
