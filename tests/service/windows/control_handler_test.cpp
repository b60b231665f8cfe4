#include <gtest/gtest.h>

#include <stdexcept>

#include "service/hub/helper_log.hpp"
#include "service/windows/service_host.hpp"

namespace drovane::win {
namespace {

TEST(ControlHandler, StopSetsTheFlagOnceAndOtherControlsChangeNothing) {
    auto [sender, receiver] = make_shutdown_flag();
    ControlContext context;
    context.sender = std::move(sender);

    const DWORD ignored[] = {SERVICE_CONTROL_PAUSE,
                             SERVICE_CONTROL_CONTINUE,
                             SERVICE_CONTROL_PARAMCHANGE,
                             SERVICE_CONTROL_SESSIONCHANGE,
                             0x7F,
                             0xFFFFFFFF};
    for (DWORD control : ignored) {
        EXPECT_EQ(helper_service_control(control, 0, nullptr, &context),
                  DWORD{ERROR_CALL_NOT_IMPLEMENTED})
            << control;
    }
    EXPECT_EQ(helper_service_control(SERVICE_CONTROL_INTERROGATE, 0, nullptr, &context),
              DWORD{NO_ERROR});
    EXPECT_FALSE(receiver.value());
    EXPECT_FALSE(receiver.closed());
    EXPECT_EQ(receiver.version(), 0u);

    EXPECT_EQ(helper_service_control(SERVICE_CONTROL_STOP, 0, nullptr, &context), DWORD{NO_ERROR});
    EXPECT_TRUE(receiver.value());
    EXPECT_TRUE(receiver.closed());
    const std::uint64_t after_stop = receiver.version();

    // A second STOP is answered and has no further effect; so has INTERROGATE.
    EXPECT_EQ(helper_service_control(SERVICE_CONTROL_STOP, 0, nullptr, &context), DWORD{NO_ERROR});
    EXPECT_EQ(helper_service_control(SERVICE_CONTROL_INTERROGATE, 0, nullptr, &context),
              DWORD{NO_ERROR});
    EXPECT_EQ(receiver.version(), after_stop);
    EXPECT_TRUE(receiver.value());
}

TEST(ControlHandler, ShutdownClosesTheFlagWithoutSettingIt) {
    for (DWORD control : {DWORD{SERVICE_CONTROL_SHUTDOWN}, DWORD{SERVICE_CONTROL_PRESHUTDOWN}}) {
        auto [sender, receiver] = make_shutdown_flag();
        ControlContext context;
        context.sender = std::move(sender);
        EXPECT_EQ(helper_service_control(control, 0, nullptr, &context),
                  DWORD{ERROR_CALL_NOT_IMPLEMENTED});
        EXPECT_TRUE(receiver.closed()) << control;
        EXPECT_FALSE(receiver.value()) << control;
        // STOP after the sender is gone is still answered NO_ERROR.
        EXPECT_EQ(helper_service_control(SERVICE_CONTROL_STOP, 0, nullptr, &context),
                  DWORD{NO_ERROR});
        EXPECT_FALSE(receiver.value()) << control;
    }
}

TEST(ControlHandler, StopWhoseSignalFailsStillClosesTheFlagAndLogs) {
    auto [sender, receiver] = make_shutdown_flag();
    ControlContext context;
    context.sender = std::move(sender);
    context.before_signal_for_testing = [] { throw std::runtime_error("signal refused"); };
    EXPECT_EQ(helper_service_control(SERVICE_CONTROL_STOP, 0, nullptr, &context), DWORD{NO_ERROR});
    EXPECT_TRUE(receiver.closed());
    EXPECT_NE(hub::helper_log_text().find("Helper could not signal the stop, closing its shutdown "
                                          "flag instead: signal refused"),
              std::string::npos)
        << hub::helper_log_text();
}

}  // namespace
}  // namespace drovane::win
