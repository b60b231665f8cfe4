// The owner's account as install reads it from an elevated administrator's process: a desktop
// account's process is denied to another account (os error 5) unless SeDebugPrivilege is on,
// which is enabled for that one read only and dropped after.
#include <gtest/gtest.h>

#include <string>

#include "win/process_account.hpp"

namespace drovane::peer {
namespace {

const std::string kDesktopAccount = "S-1-5-21-1-2-3-1001";

// Another account's process as Windows shows it to an elevated administrator.
class OtherAccountsProcess final : public AccountReadCalls {
  public:
    bool readable_without_privilege = false;
    bool readable_with_privilege = true;
    bool privilege_held = true;
    bool enabled_before = false;
    std::uint32_t other_error = 0;  // a failure other than the denial, when set

    bool enabled = false;
    int reads_with_privilege = 0;

    Result<std::string> account_of(std::uint32_t) override {
        if (other_error != 0) {
            return Error::os(other_error);
        }
        if (enabled) {
            ++reads_with_privilege;
        }
        bool readable = enabled ? readable_with_privilege : readable_without_privilege;
        return readable ? Result<std::string>(kDesktopAccount) : Error::os(5);
    }
    Result<bool> enable_debug_privilege() override {
        if (!privilege_held) {
            return Error::os(1300);  // ERROR_NOT_ALL_ASSIGNED
        }
        bool was = enabled || enabled_before;
        enabled = true;
        return was;
    }
    void disable_debug_privilege() override { enabled = false; }
};

TEST(OwnerAccount, ReadsAnotherAccountsProcessWithTheDebugPrivilegeForThatReadOnly) {
    struct Case {
        const char* name;
        void (*setup)(OtherAccountsProcess&);
        bool read;
        int reads_with_privilege;
        bool enabled_after;
        std::string error_part;
    };
    const std::string kCannot =
        "the account that approved the elevation cannot read the desktop "
        "account's process 77";
    const Case cases[] = {
        {"the desktop account's own elevation",
         [](OtherAccountsProcess& p) { p.readable_without_privilege = true; }, true, 0, false, ""},
        {"another account: denied, then read with the privilege", [](OtherAccountsProcess&) {},
         true, 1, false, ""},
        {"denied even with the privilege",
         [](OtherAccountsProcess& p) { p.readable_with_privilege = false; }, false, 1, false,
         kCannot},
        {"the privilege is not held", [](OtherAccountsProcess& p) { p.privilege_held = false; },
         false, 0, false, kCannot},
        {"the privilege was on already: left on",
         [](OtherAccountsProcess& p) { p.enabled_before = true; }, true, 1, true, ""},
        {"no such process: no privilege tried", [](OtherAccountsProcess& p) { p.other_error = 87; },
         false, 0, false, "(os error 87)"},
    };
    for (const Case& c : cases) {
        OtherAccountsProcess process;
        c.setup(process);
        Result<std::string> account = owner_account_sid(77, process);
        ASSERT_EQ(account.ok(), c.read) << c.name;
        if (account) {
            EXPECT_EQ(*account, kDesktopAccount) << c.name;
        } else {
            EXPECT_NE(account.error().text().find(c.error_part), std::string::npos)
                << c.name << ": " << account.error().text();
        }
        EXPECT_EQ(process.reads_with_privilege, c.reads_with_privilege) << c.name;
        EXPECT_EQ(process.enabled, c.enabled_after) << c.name;
    }
}

}  // namespace
}  // namespace drovane::peer
