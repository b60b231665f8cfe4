// The write-access decision over security descriptors written as SDDL, as Windows would hand
// them to doctor for the Helper's directory and files.
#include <gtest/gtest.h>

#include "client/dacl_check.hpp"
#include "win/handles.hpp"

#include <sddl.h>

namespace drovane::client {
namespace {

constexpr wchar_t kTrustedInstaller[] =
    L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

struct DaclCase {
    std::string name;
    std::wstring sddl;
    bool directory;
    // The SID and rights each reported grant holds, in order; none for a safe descriptor.
    std::vector<std::pair<std::string, std::string>> grants;
};

void PrintTo(const DaclCase& c, std::ostream* os) {
    *os << c.name;
}

class DaclDecision : public ::testing::TestWithParam<DaclCase> {};

TEST_P(DaclDecision, ReportsEveryUntrustedWriter) {
    const DaclCase& c = GetParam();
    PSECURITY_DESCRIPTOR raw = nullptr;
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(
        c.sddl.c_str(), SDDL_REVISION_1, &raw, nullptr))
        << ::GetLastError();
    win::unique_security_descriptor descriptor(raw);
    Result<std::vector<WriteGrant>> grants = untrusted_write_grants(descriptor.get(), c.directory);
    ASSERT_TRUE(grants) << grants.error().text();
    ASSERT_EQ(grants->size(), c.grants.size());
    for (std::size_t i = 0; i < c.grants.size(); ++i) {
        EXPECT_NE((*grants)[i].account.find(c.grants[i].first), std::string::npos)
            << (*grants)[i].account;
        EXPECT_EQ((*grants)[i].rights, c.grants[i].second);
    }
}

const std::wstring kSafe = std::wstring(L"O:BAD:PAI(A;;FA;;;BA)(A;;FA;;;SY)(A;;FA;;;") +
                           kTrustedInstaller + L")(A;;0x1200a9;;;BU)";

INSTANTIATE_TEST_SUITE_P(
    Doctor, DaclDecision,
    ::testing::Values(
        DaclCase{"AdministratorsOnly", kSafe, true, {}},
        DaclCase{"AdministratorsOnlyFile", kSafe, false, {}},
        DaclCase{"UsersWithWrite",
                 L"O:BAD:(A;;FA;;;BA)(A;;FR;;;BU)(A;;FW;;;BU)",
                 true,
                 {{"S-1-5-32-545", "add files, add subdirectories"}}},
        DaclCase{"UsersModifyFile",
                 L"O:SYD:(A;;FA;;;SY)(A;;0x1301bf;;;BU)",
                 false,
                 {{"S-1-5-32-545", "write data, append data, delete"}}},
        DaclCase{"EveryoneFullControl",
                 L"O:BAD:(A;;FA;;;BA)(A;;FA;;;WD)",
                 true,
                 {{"S-1-1-0", "full control"}}},
        DaclCase{"GenericAllIsFullControl",
                 L"O:BAD:(A;;GA;;;AU)",
                 false,
                 {{"S-1-5-11", "full control"}}},
        DaclCase{"InheritOnlyAndDenyEntriesGrantNothing",
                 L"O:BAD:(D;;FA;;;WD)(A;OICIIO;FA;;;CO)(A;OICIIO;FA;;;BU)(A;;FA;;;BA)",
                 true,
                 {}},
        DaclCase{"UntrustedOwnerCanRewriteThePermissions",
                 L"O:S-1-5-21-1-2-3-1001D:(A;;FA;;;BA)",
                 false,
                 {{"S-1-5-21-1-2-3-1001", "ownership, so it can change the permissions"}}}),
    [](const auto& info) { return info.param.name; });

// A descriptor without a DACL lets everyone do everything. Built by hand: Wine reads the SDDL
// "D:NO_ACCESS_CONTROL" as an empty DACL instead.
TEST(DaclDecision, NoDaclIsFullControlForEveryone) {
    SECURITY_DESCRIPTOR descriptor;
    ASSERT_TRUE(::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(::SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE));
    Result<std::vector<WriteGrant>> grants = untrusted_write_grants(&descriptor, true);
    ASSERT_TRUE(grants) << grants.error().text();
    ASSERT_EQ(grants->size(), 1u);
    EXPECT_EQ((*grants)[0].account, "Everyone (S-1-1-0)");
    EXPECT_EQ((*grants)[0].rights, "full control (the object has no DACL)");
}

}  // namespace
}  // namespace drovane::client
