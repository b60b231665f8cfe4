// A binary path written by the service manager layer's quoting reads back, through doctor's
// reader, as the executable and owner SID that were written.
#include <gtest/gtest.h>

#include "client/doctor.hpp"
#include "text.hpp"
#include "win/scm.hpp"

namespace drovane::client {
namespace {

TEST(DoctorBinaryPath, ReadsBackWhatTheServiceManagerLayerWrites) {
    struct Case {
        std::wstring executable, owner;
    };
    // An executable path holds no double quote and does not end in a backslash (it names a
    // file), so quotes and trailing backslashes are tried in the argument.
    for (const Case& c : std::vector<Case>{
             {L"C:\\h\\DrovaneHelper.exe", L"S-1-5-21-1-2-3-1001"},
             {L"C:\\Program Files\\Drovane\\DrovaneHelper.exe", L"S-1-5-18"},
             {L"C:\\h\\DrovaneHelper.exe", L"with space"},
             {L"C:\\h\\DrovaneHelper.exe", L"say \"hi\""},
             {L"C:\\h\\DrovaneHelper.exe", L"ends\\"},
             {L"C:\\h\\DrovaneHelper.exe", L"spaced and ends\\\\"},
             {L"C:\\h\\DrovaneHelper.exe", L"\\\"lead\\\\\"tail"},
             {L"C:\\h\\DrovaneHelper.exe", L""},
             {L"C:\\Usu\u00e1rios\\J\u00f6rg \u03a9\\DrovaneHelper.exe", L"S-1-5-18"},
             {L"C:\\h\\DrovaneHelper.exe", L"J\u00f6rg \"\u03a9\" \U0001D11E\\"},
         }) {
        win::scm::ServiceInfo info;
        info.executable_path = c.executable;
        info.launch_arguments = {L"--owner-sid", c.owner};
        Result<std::wstring> written = win::scm::binary_path(info);
        ASSERT_TRUE(written) << written.error().text();

        LaunchCommand read = parse_binary_path(to_utf8(*written));
        EXPECT_EQ(read.executable, to_utf8(c.executable)) << to_utf8(*written);
        EXPECT_EQ(read.owner_sid, to_utf8(c.owner)) << to_utf8(*written);
    }
}

}  // namespace
}  // namespace drovane::client
