#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "win/scm.hpp"

namespace drovane::win::scm {
namespace {

TEST(ScmLayer, StatesOutsideOneToSevenAreErrors) {
    const std::vector<std::string> names = {"Stopped", "StartPending",    "StopPending",
                                            "Running", "ContinuePending", "PausePending",
                                            "Paused"};
    for (std::uint32_t value = 1; value <= 7; ++value) {
        Result<ServiceState> state = state_from_value(value);
        ASSERT_TRUE(state.ok()) << value;
        EXPECT_EQ(state_name(*state), names[value - 1]);
    }
    for (std::uint32_t value : {0u, 8u, 4294967295u}) {
        Result<ServiceState> state = state_from_value(value);
        ASSERT_FALSE(state.ok()) << value;
        EXPECT_EQ(state.error().chain(),
                  (std::vector<std::string>{
                      "invalid service status value",
                      "invalid unsigned integer for the target type: " + std::to_string(value)}));
    }
}

TEST(ScmLayer, BinaryPathQuotesThePathAndRefusesNulCharacters) {
    ServiceInfo info;
    info.executable_path = L"C:\\Program Files\\Drovane\\DrovaneHelper.exe";
    info.launch_arguments = {L"--owner-sid", L"S-1-5-21-0-0-0-1000"};
    Result<std::wstring> path = binary_path(info);
    ASSERT_TRUE(path.ok());
    EXPECT_EQ(*path,
              L"\"C:\\Program Files\\Drovane\\DrovaneHelper.exe\" --owner-sid S-1-5-21-0-0-0-1000");

    info.executable_path = L"C:\\Drovane\\DrovaneHelper.exe";
    EXPECT_EQ(*binary_path(info),
              L"C:\\Drovane\\DrovaneHelper.exe --owner-sid S-1-5-21-0-0-0-1000");

    ServiceInfo nul_path = info;
    nul_path.executable_path = std::wstring(L"C:\\a\0b.exe", 10);
    EXPECT_EQ(binary_path(nul_path).error().message(), "executable path contains a nul byte");
    ServiceInfo nul_argument = info;
    nul_argument.launch_arguments.push_back(std::wstring(L"x\0", 2));
    EXPECT_EQ(binary_path(nul_argument).error().message(), "launch argument contains a nul byte");
    EXPECT_EQ(scm_text(std::wstring(L"\0", 1), "service name").error().message(),
              "service name contains a nul byte");
}

}  // namespace
}  // namespace drovane::win::scm
