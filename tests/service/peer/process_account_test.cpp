#include <gtest/gtest.h>

#include <string>

#include "owner_sid.hpp"
#include "win/handles.hpp"
#include "win/process_account.hpp"

namespace drovane::peer {
namespace {

bool running_under_wine() {
    HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

TEST(ProcessAccount, OwnProcessGivesItsUserSid) {
    Result<std::string> sid = process_account_sid(::GetCurrentProcessId());
    ASSERT_TRUE(sid) << sid.error().text();
    EXPECT_TRUE(is_valid_sid_string(*sid)) << *sid;
    if (running_under_wine()) {
        EXPECT_EQ(*sid, "S-1-5-21-0-0-0-1000");  // every Wine process runs as this user
    }
}

// (A process that has just exited cannot stand in here: Wine still opens its ID for a while.)
TEST(ProcessAccount, ProcessZeroFailsWithAnOsError) {
    Result<std::string> zero = process_account_sid(0);
    ASSERT_FALSE(zero);
    EXPECT_TRUE(zero.error().os_code().has_value()) << zero.error().text();
}

}  // namespace
}  // namespace drovane::peer
