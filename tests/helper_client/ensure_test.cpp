// Each state the Helper can be in, as the service manager and a ping show it, leads ensure to the
// one step a desktop client must take; where no step follows, the failure comes back to retry.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "helper_client/ensure.hpp"

namespace drovane::helper_client {
namespace {

const std::string kDigest(64, 'a');

class HelperState final : public HandleTransport {
  public:
    ServiceReport service;
    std::optional<Failure> ping_failure;
    std::string ping_wire;
    int pings = 0;

    Call<HttpReply> exchange(std::string_view, std::string_view, std::string_view) override {
        ++pings;
        if (ping_failure) {
            return *ping_failure;
        }
        return *parse_reply(ping_wire);
    }
    Call<unsigned> authenticate() override { return 50123u; }
    Call<ServiceReport> query_service() override { return service; }
    void set_timeout(std::chrono::milliseconds) override {}
    void cancel() override {}
    Call<SessionBytes> random_session_bytes() override { return SessionBytes{}; }
    Call<OwnedPipe> connect_core(std::string_view, std::uint32_t,
                                 std::chrono::milliseconds) override {
        return Failure{FailureKind::system, Error("not here")};
    }
};

std::string ping_reply(unsigned status, std::string_view type, std::string_view body,
                       std::string_view protocol = "8") {
    return "HTTP/1.1 " + std::to_string(status) + " X\r\ncontent-type: " + std::string(type) +
           "\r\nx-drovane-helper-protocol: " + std::string(protocol) +
           "\r\ncontent-length: " + std::to_string(body.size()) + "\r\n\r\n" + std::string(body);
}

constexpr std::string_view kText = "text/plain; charset=utf-8";
constexpr std::string_view kJson = "application/json";
const ServiceReport kRunning{true, kServiceRunning, 7, 50123};

TEST(Ensure, EachHelperStateLeadsToOneStep) {
    struct Case {
        const char* name;
        ServiceReport service;
        std::optional<Failure> ping_failure;
        std::string ping_wire;
        std::optional<NextStep> step;  // none: the failure comes back
        std::string text_has;
    };
    const Case cases[] = {
        {"NotInstalled", {}, {}, {}, NextStep::install, "not installed"},
        {"Stopped", {true, 1, 0, 0}, {}, {}, NextStep::start_service, "administrator"},
        {"StopPending", {true, 3, 7, 50123}, {}, {}, NextStep::start_service, "administrator"},
        {"AnotherCoreDigest",
         kRunning,
         {},
         ping_reply(409, kJson, R"({"code":"coreSha256Mismatch","message":"m"})"),
         NextStep::reinstall,
         "another Core"},
        {"CoreMissing",
         kRunning,
         {},
         ping_reply(409, kText, "Core not found: Z:\\c.exe"),
         NextStep::reinstall,
         "Core not found"},
        {"AnotherProtocol",
         kRunning,
         {},
         ping_reply(200, kText, "Z:\\h.exe", "7"),
         NextStep::reinstall,
         "protocol 7"},
        {"AnotherOwnerOrSandboxed",
         kRunning,
         Failure{FailureKind::not_owner, Error("closed without a reply: another account")},
         {},
         NextStep::tell_user,
         "another account"},
        {"RunningButBroken",
         kRunning,
         Failure{FailureKind::not_running, Error("no port")},
         {},
         NextStep::reinstall,
         "no port"},
        {"StoppedBetweenTheCalls",
         kRunning,
         Failure{FailureKind::not_started, Error("stopped")},
         {},
         NextStep::start_service,
         "administrator"},
        {"Running",
         kRunning,
         {},
         ping_reply(200, kText, "Z:\\h\\DrovaneHelper.exe"),
         NextStep::ready,
         ""},
        {"RestartingAfterACrash",
         kRunning,
         Failure{FailureKind::timed_out, Error("timeout")},
         {},
         std::nullopt,
         "timeout"},
        {"InternalError",
         kRunning,
         {},
         ping_reply(500, kJson, R"({"code":"internalError","message":"m"})"),
         std::nullopt,
         "internalError"},
    };
    for (const Case& c : cases) {
        HelperState state;
        state.service = c.service;
        state.ping_failure = c.ping_failure;
        state.ping_wire = c.ping_wire;
        Call<Readiness> readiness = ensure(state, kDigest);
        ASSERT_EQ(readiness.ok(), c.step.has_value()) << c.name;
        const std::string text = readiness ? readiness->text : readiness.failure().error.text();
        if (readiness) {
            EXPECT_EQ(readiness->step, *c.step) << c.name;
        }
        EXPECT_NE(text.find(c.text_has), std::string::npos) << c.name << ": " << text;
        // Advice a standard user reads never names a command only an administrator may run.
        EXPECT_EQ(text.find("sc "), std::string::npos) << c.name << ": " << text;
        EXPECT_EQ(text.find("net start"), std::string::npos) << c.name << ": " << text;
        EXPECT_EQ(state.pings, c.service.state == kServiceRunning ? 1 : 0) << c.name;
    }
}

}  // namespace
}  // namespace drovane::helper_client
