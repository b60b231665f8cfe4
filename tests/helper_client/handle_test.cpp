// The C interface's entry points over a scripted transport: inputs the Helper would refuse never
// reach the transport, every failure kind comes out as its result with the OS error beside the
// text, and a reply structure is written only as far as its size reaches.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "helper_client/c_handle.hpp"

namespace drovane::helper_client {
namespace {

constexpr const char* kSession = "0123456789abcdef0123456789abcdef";
constexpr const char* kAddress = "\\\\.\\pipe\\DrovaneCore_0123456789abcdef0123456789abcdef";
const std::string kDigest(64, 'a');

class ScriptedTransport final : public HandleTransport {
  public:
    int exchanges = 0;
    std::optional<Failure> failure;
    std::string wire = with_head(
        R"({"sessionId":"0123456789abcdef0123456789abcdef","stopped":false,"reason":"notRunning"})");

    static std::string with_head(const std::string& body) {
        return "HTTP/1.1 200 OK\r\ncontent-type: application/json\r\ncontent-length: " +
               std::to_string(body.size()) + "\r\n\r\n" + body;
    }

    Call<HttpReply> exchange(std::string_view, std::string_view, std::string_view) override {
        ++exchanges;
        if (failure) {
            return *failure;
        }
        return *parse_reply(wire);
    }
    Call<unsigned> authenticate() override {
        if (failure) {
            return *failure;
        }
        return 50123u;
    }
    Call<ServiceReport> query_service() override { return ServiceReport{true, 4, 7, 50123}; }
    void set_timeout(std::chrono::milliseconds) override {}
    void cancel() override {}
    Call<SessionBytes> random_session_bytes() override {
        SessionBytes bytes{};
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            bytes[i] = static_cast<unsigned char>((i % 16) * 17);
        }
        return bytes;
    }
    Call<OwnedPipe> connect_core(std::string_view, std::uint32_t,
                                 std::chrono::milliseconds) override {
        return Failure{FailureKind::not_core, Error("the pipe's server is process 8")};
    }
};

struct HandleClose {
    void operator()(drovane_hc* handle) const { drovane_hc_close(handle); }
};

struct Fixture {
    ScriptedTransport* transport = nullptr;
    std::unique_ptr<drovane_hc, HandleClose> handle;
};

Fixture open_scripted() {
    auto transport = std::make_unique<ScriptedTransport>();
    Fixture fixture;
    fixture.transport = transport.get();
    fixture.handle.reset(new_handle(std::move(transport)));
    return fixture;
}

TEST(Handle, RefusesInputsTheHelperWouldRefuseWithoutSending) {
    struct Case {
        const char* name;
        std::string digest = kDigest;
        std::string address = kAddress;
        std::string session = kSession;
    };
    const std::string upper(64, 'A');
    const std::vector<Case> cases = {
        {"digest in upper case", upper},
        {"digest short", std::string(63, 'a')},
        {"digest long", std::string(65, 'a')},
        {"digest not hex", std::string(63, 'a') + "g"},
        {"digest with a query", std::string(48, 'a') + "&coreSha256=ab"},
        {"session in upper case", kDigest, kAddress, "0123456789ABCDEF0123456789abcdef"},
        {"session short", kDigest, kAddress, std::string(31, '0')},
        {"session long", kDigest, kAddress, std::string(33, '0')},
        {"address of another pipe", kDigest, "\\\\.\\pipe\\Other_0123456789abcdef0123456789abcdef"},
        {"address with a forward slash", kDigest,
         "//./pipe/DrovaneCore_0123456789abcdef0123456789abcdef"},
        {"address prefix in another case", kDigest,
         "\\\\.\\PIPE\\DrovaneCore_0123456789abcdef0123456789abcdef"},
        {"address suffix in upper case", kDigest,
         "\\\\.\\pipe\\DrovaneCore_0123456789ABCDEF0123456789abcdef"},
        {"address suffix short", kDigest, "\\\\.\\pipe\\DrovaneCore_0123"},
    };
    for (const Case& c : cases) {
        Fixture fixture = open_scripted();
        drovane_hc* client = fixture.handle.get();
        drovane_hc_reply reply = DROVANE_HC_REPLY_INIT;
        const drovane_hc_result results[] = {
            drovane_hc_ping(client, c.digest.c_str(), &reply),
            drovane_hc_start(client, c.address.c_str(), c.session.c_str(), &reply),
            drovane_hc_stop(client, c.session.c_str(), &reply),
        };
        // Each case spoils one input: exactly the calls that take it are refused.
        const bool bad_digest = c.digest != kDigest;
        const bool bad_start = c.address != kAddress || c.session != kSession;
        const bool bad_stop = c.session != kSession;
        const bool expected[] = {bad_digest, bad_start, bad_stop};
        int refused = 0;
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(results[i] == DROVANE_HC_INVALID_ARGUMENT, expected[i])
                << c.name << ", call " << i << ": " << drovane_hc_result_name(results[i]);
            refused += results[i] == DROVANE_HC_INVALID_ARGUMENT;
        }
        EXPECT_EQ(fixture.transport->exchanges, 3 - refused) << c.name << ": something was sent";
    }
}

TEST(Handle, GivesEachFailureItsResultAndTheOsErrorBesideTheText) {
    struct Case {
        FailureKind kind;
        drovane_hc_result result;
    };
    const Case cases[] = {
        {FailureKind::not_installed, DROVANE_HC_NOT_INSTALLED},
        {FailureKind::not_started, DROVANE_HC_NOT_STARTED},
        {FailureKind::not_owner, DROVANE_HC_NOT_OWNER},
        {FailureKind::protocol_mismatch, DROVANE_HC_PROTOCOL_MISMATCH},
        {FailureKind::timed_out, DROVANE_HC_TIMED_OUT},
        {FailureKind::cancelled, DROVANE_HC_CANCELLED},
        {FailureKind::system, DROVANE_HC_SYSTEM_ERROR},
    };
    for (const Case& c : cases) {
        Fixture fixture = open_scripted();
        fixture.transport->failure = Failure{c.kind, Error::os(5).context("step")};
        drovane_hc* client = fixture.handle.get();
        EXPECT_EQ(authenticate_handle(client), c.result);
        drovane_hc_reply reply = DROVANE_HC_REPLY_INIT;
        EXPECT_EQ(drovane_hc_logs(client, &reply), c.result);
        EXPECT_EQ(drovane_hc_os_error(client), 5u) << drovane_hc_result_name(c.result);
        EXPECT_EQ(std::string(drovane_hc_error_text(client)).rfind("step: ", 0), 0u);
        EXPECT_NE(std::string(drovane_hc_result_name(c.result)), "unknown result");
    }
}

TEST(Handle, WritesAReplyOnlyAsFarAsItsSizeReaches) {
    Fixture fixture = open_scripted();
    drovane_hc* client = fixture.handle.get();
    // An older caller's reply that ends before session_id, inside guard bytes.
    union {
        drovane_hc_reply reply;
        unsigned char bytes[sizeof(drovane_hc_reply) + 16];
    } older;
    const std::size_t older_size = offsetof(drovane_hc_reply, session_id);
    std::memset(older.bytes, 0xAB, sizeof(older.bytes));
    older.reply.size = static_cast<std::uint32_t>(older_size);
    ASSERT_EQ(drovane_hc_stop(client, kSession, &older.reply), DROVANE_HC_OK);
    EXPECT_EQ(older.reply.size, older_size);
    EXPECT_EQ(older.reply.status, 200u);
    EXPECT_STREQ(older.reply.error_code, "");
    for (std::size_t i = older_size; i < sizeof(older.bytes); ++i) {
        ASSERT_EQ(older.bytes[i], 0xAB) << "byte " << i << " past the reply's size was written";
    }

    // A size that ends inside a member leaves that member alone too.
    std::memset(older.bytes, 0xAB, sizeof(older.bytes));
    older.reply.size = static_cast<std::uint32_t>(offsetof(drovane_hc_reply, status) + 2);
    ASSERT_EQ(drovane_hc_stop(client, kSession, &older.reply), DROVANE_HC_OK);
    for (std::size_t i = sizeof(older.reply.size); i < sizeof(older.bytes); ++i) {
        ASSERT_EQ(older.bytes[i], 0xAB) << "byte " << i;
    }

    // The whole reply is filled; a size never set is refused before anything is sent.
    drovane_hc_reply reply = DROVANE_HC_REPLY_INIT;
    ASSERT_EQ(drovane_hc_stop(client, kSession, &reply), DROVANE_HC_OK);
    EXPECT_STREQ(reply.reason, "notRunning");
    EXPECT_STREQ(reply.session_id, kSession);
    const int sent = fixture.transport->exchanges;
    drovane_hc_reply unset{};
    EXPECT_EQ(drovane_hc_stop(client, kSession, &unset), DROVANE_HC_INVALID_ARGUMENT);
    EXPECT_EQ(fixture.transport->exchanges, sent);

    drovane_hc_service service = DROVANE_HC_SERVICE_INIT;
    ASSERT_EQ(drovane_hc_query_service(client, &service), DROVANE_HC_OK);
    EXPECT_EQ(service.installed + service.running, 2);
    EXPECT_EQ(service.port, 50123u);
    EXPECT_EQ(drovane_hc_version(), static_cast<std::uint32_t>(DROVANE_HC_VERSION));
}

// A session is the random source's bytes in hexadecimal, the first 16 the ID and the last 16 the
// pipe name; connect_core hands out no pipe on failure; logs_since moves the cursor on OK only.
TEST(Handle, SessionsPipesAndLogCursors) {
    Fixture fixture = open_scripted();
    drovane_hc* client = fixture.handle.get();
    drovane_hc_session session = DROVANE_HC_SESSION_INIT;
    ASSERT_EQ(drovane_hc_new_session(client, &session), DROVANE_HC_OK);
    EXPECT_STREQ(session.session_id, "00112233445566778899aabbccddeeff");
    EXPECT_STREQ(session.address,
                 "\\\\.\\pipe\\DrovaneCore_0011223344556677"
                 "8899aabbccddeeff");
    drovane_hc_session small = DROVANE_HC_SESSION_INIT;
    small.size = sizeof(drovane_hc_session) - 1;
    EXPECT_EQ(drovane_hc_new_session(client, &small), DROVANE_HC_INVALID_ARGUMENT);

    void* pipe = &session;
    EXPECT_EQ(drovane_hc_connect_core(client, session.address, 7, 100, &pipe), DROVANE_HC_NOT_CORE);
    EXPECT_EQ(pipe, nullptr);
    EXPECT_STREQ(drovane_hc_error_text(client), "the pipe's server is process 8");
    EXPECT_EQ(drovane_hc_connect_core(client, "\\\\.\\pipe\\x", 7, 100, &pipe),
              DROVANE_HC_INVALID_ARGUMENT);

    drovane_hc_reply reply = DROVANE_HC_REPLY_INIT;
    std::uint64_t cursor = 4;
    fixture.transport->wire =
        "HTTP/1.1 200 OK\r\ncontent-type: text/plain; charset=utf-8\r\n"
        "x-drovane-helper-log-next: 9\r\nx-drovane-helper-log-dropped: 2\r\n"
        "content-length: 3\r\n\r\nx\ny";
    ASSERT_EQ(drovane_hc_logs_since(client, &cursor, &reply), DROVANE_HC_OK);
    EXPECT_EQ(cursor, 8u);
    EXPECT_EQ(reply.dropped, 2u);
    EXPECT_STREQ(reply.text, "x\ny");
    fixture.transport->failure = Failure{FailureKind::timed_out, Error("late")};
    EXPECT_EQ(drovane_hc_logs_since(client, &cursor, &reply), DROVANE_HC_TIMED_OUT);
    EXPECT_EQ(cursor, 8u);
}

}  // namespace
}  // namespace drovane::helper_client
