// The service run around the endpoint server, with a stand-in server and a recording status
// reporter, and the recovery setting that install writes.
#include <gtest/gtest.h>

#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "service/windows/install.hpp"
#include "service/windows/service_host.hpp"

namespace drovane::win {
namespace {

class RecordingReporter final : public StatusReporter {
  public:
    bool fail = false;
    std::vector<ServiceStatus> reports;

    Status report(const ServiceStatus& status) override {
        reports.push_back(status);
        if (fail) {
            return Error::winapi(ERROR_INVALID_HANDLE);
        }
        return {};
    }
};

TEST(ServiceRun, EveryEndReportsStoppedOnceWithItsExitCode) {
    struct Case {
        const char* name;
        ServeFunction serve;
        bool report_fails;
        std::uint32_t exit_code;
        std::optional<std::string> error;  // outermost phrase; none for success
    };
    auto serve_returning = [](Status result) -> ServeFunction {
        return [result](std::string, ShutdownReceiver, StatusReporter&, Runtime&,
                        hub::CoreOperations&) { return result; };
    };
    auto serve_throwing = [](auto thrown) -> ServeFunction {
        return [thrown](std::string, ShutdownReceiver, StatusReporter&, Runtime&,
                        hub::CoreOperations&) -> Status { throw thrown; };
    };
    const std::vector<Case> cases = {
        {"served and stopped", serve_returning({}), false, 0, std::nullopt},
        {"server failed", serve_returning(Error("bind helper server")), false, 1,
         "run helper service"},
        {"allocation failed", serve_throwing(std::bad_alloc()), false, 1,
         "the helper service failed abnormally"},
        {"something else thrown", serve_throwing(7), false, 1,
         "the helper service failed abnormally"},
        {"Stopped report failed", serve_returning({}), true, 0, "report helper service stopped"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingReporter status;
        status.fail = c.report_fails;
        auto [sender, receiver] = make_shutdown_flag();
        Status result =
            run_started_service("S-1-5-21-0-0-0-1000", std::move(receiver), status, c.serve);
        ASSERT_EQ(status.reports.size(), 1u);
        const ServiceStatus& last = status.reports.back();
        EXPECT_EQ(last.current_state, DWORD{SERVICE_STOPPED});
        EXPECT_EQ(last.win32_exit_code, c.exit_code);
        EXPECT_EQ(last.controls_accepted, 0u);
        EXPECT_EQ(last.checkpoint, 0u);
        EXPECT_EQ(last.wait_hint, 0u);
        EXPECT_EQ(result.ok(), !c.error);
        if (c.error && !result) {
            EXPECT_EQ(result.error().message(), *c.error);
        }
    }
}

TEST(Recovery, ThreeRestartsFiveSecondsApartCountResetDaily) {
    const scm::FailureActions recovery = helper_recovery_actions();
    auto action = [&](std::size_t i) {
        return i < recovery.actions.size() ? recovery.actions[i] : SC_ACTION{SC_ACTION_NONE, 0};
    };
    struct Field {
        const char* name;
        std::uint64_t expected;
        std::uint64_t actual;
    };
    const Field fields[] = {
        {"reset period, seconds", 86400, recovery.reset_period_seconds},
        {"reboot message given", 0, recovery.reboot_message.has_value()},
        {"command given", 0, recovery.command.has_value()},
        {"number of actions", 3, recovery.actions.size()},
        {"first action", SC_ACTION_RESTART, static_cast<std::uint64_t>(action(0).Type)},
        {"first delay, ms", 5000, action(0).Delay},
        {"second action", SC_ACTION_RESTART, static_cast<std::uint64_t>(action(1).Type)},
        {"second delay, ms", 5000, action(1).Delay},
        {"third action", SC_ACTION_RESTART, static_cast<std::uint64_t>(action(2).Type)},
        {"third delay, ms", 5000, action(2).Delay},
    };
    for (const Field& field : fields) {
        EXPECT_EQ(field.actual, field.expected) << field.name;
    }
}

}  // namespace
}  // namespace drovane::win
