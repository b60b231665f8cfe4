#include <gtest/gtest.h>

#include <string>

#include "service/peer/owner_sid.hpp"
#include "service/peer/process_account.hpp"
#include "service/windows/handles.hpp"

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

TEST(ProcessAccount, AbsentProcessesFailWithAnOsError) {
    Result<std::string> zero = process_account_sid(0);
    ASSERT_FALSE(zero);
    EXPECT_TRUE(zero.error().os_code().has_value()) << zero.error().text();

    // A process that has exited (its ID no longer names a process once its handles are closed).
    wchar_t command[] = L"cmd.exe /c exit 0";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    ASSERT_TRUE(::CreateProcessW(nullptr, command, nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                                 nullptr, nullptr, &startup, &info));
    win::unique_handle process(info.hProcess);
    win::unique_handle thread(info.hThread);
    ASSERT_EQ(::WaitForSingleObject(process.get(), 30000), WAIT_OBJECT_0);
    thread.reset();
    process.reset();
    Result<std::string> gone = process_account_sid(info.dwProcessId);
    ASSERT_FALSE(gone);
    EXPECT_TRUE(gone.error().os_code().has_value()) << gone.error().text();
}

}  // namespace
}  // namespace drovane::peer
