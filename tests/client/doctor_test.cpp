// doctor's decisions against a fake installation: a healthy one passes with only ok lines, and
// each fault gives its warn or FAIL line with what to do, and the exit status that goes with it.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <sstream>

#include "client/doctor.hpp"

namespace drovane::client {
namespace {

const std::string kDigest(64, 'a');
const std::string kOwner = "S-1-5-21-1-2-3-1001";
const std::string kDir = "C:\\Program Files\\Drovane";

class FakeInstallation final : public Installation {
  public:
    std::optional<ServiceRegistration> service = ServiceRegistration{
        true, true, "LocalSystem", "\"" + kDir + "\\DrovaneHelper.exe\" --owner-sid " + kOwner};
    Result<RecoverySetting> recovery_setting =
        RecoverySetting{86400, {{true, 5000}, {true, 5000}, {true, 5000}}};
    std::string state = "Running";
    Result<unsigned> port = 50123u;
    std::string user = kOwner;
    std::map<std::string, std::string> files = {{kDir + "\\DrovaneHelper.exe", "helper"},
                                                {kDir + "\\DrovaneCore.exe", kDigest}};
    std::map<std::string, std::vector<WriteGrant>> grants;

    Result<std::optional<ServiceRegistration>> registration() override { return service; }
    Result<RecoverySetting> recovery() override { return recovery_setting; }
    Result<std::string> service_state() override { return state; }
    Result<unsigned> published_port() override { return port; }
    helper_client::Call<unsigned> prove_helper() override { return proof; }
    helper_client::Call<unsigned> proof = 50123u;
    Result<std::string> user_sid() override { return user; }
    bool is_elevated = true;
    bool elevated() override { return is_elevated; }
    std::string own_directory() override { return "C:\\Downloads"; }
    bool file_exists(const std::string& path) override { return files.contains(path); }
    Result<std::string> file_sha256(const std::string& path) override { return files.at(path); }
    Result<std::vector<WriteGrant>> untrusted_write_grants(const std::string& path) override {
        auto found = grants.find(path);
        return found == grants.end() ? std::vector<WriteGrant>{} : found->second;
    }
};

class PingTransport final : public Transport {
  public:
    std::string reply =
        "HTTP/1.1 200 OK\r\ncontent-type: text/plain; charset=utf-8\r\n"
        "x-drovane-helper-protocol: 8\r\ncontent-length: 4\r\n\r\nZ:\\h";
    std::vector<std::string> targets;
    helper_client::Call<helper_client::HttpReply> exchange(std::string_view,
                                                           std::string_view target,
                                                           std::string_view) override {
        targets.emplace_back(target);
        return *helper_client::parse_reply(reply);
    }
};

struct Outcome {
    int status;
    std::string out;
};

Outcome run(FakeInstallation& installation, PingTransport& transport) {
    std::ostringstream out;
    int status = run_doctor(installation, transport, kDigest, out);
    return {status, out.str()};
}

TEST(Doctor, HealthyInstallationHasOnlyOkLines) {
    FakeInstallation installation;
    PingTransport transport;
    Outcome outcome = run(installation, transport);
    EXPECT_EQ(outcome.status, 0) << outcome.out;
    EXPECT_EQ(outcome.out.find("warn"), std::string::npos) << outcome.out;
    EXPECT_EQ(outcome.out.find("FAIL"), std::string::npos) << outcome.out;
    for (const char* check :
         {"service registered", "own process", "automatic start", "service account",
          "recovery actions", "Helper binary", "owner", "service running", "published port",
          "port belongs to the Helper service", "ping", "Core beside the Helper", "Core digest",
          "write access to C:\\Program Files\\Drovane:",
          "write access to C:\\Program Files\\Drovane\\DrovaneHelper.exe",
          "write access to C:\\Program Files\\Drovane\\DrovaneCore.exe"}) {
        EXPECT_NE(outcome.out.find(std::string("ok    ") + check), std::string::npos) << check;
    }
    ASSERT_EQ(transport.targets.size(), 1u);
    EXPECT_EQ(transport.targets[0], "/ping?coreSha256=" + kDigest);
}

struct FaultCase {
    std::string name;
    std::function<void(FakeInstallation&, PingTransport&)> fault;
    int status;
    std::vector<std::string> lines;  // each must appear in the output
};

void PrintTo(const FaultCase& c, std::ostream* os) {
    *os << c.name;
}

class DoctorFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(DoctorFaults, SayWhatIsWrongAndWhatToDo) {
    const FaultCase& c = GetParam();
    FakeInstallation installation;
    PingTransport transport;
    c.fault(installation, transport);
    Outcome outcome = run(installation, transport);
    EXPECT_EQ(outcome.status, c.status) << outcome.out;
    for (const std::string& line : c.lines) {
        EXPECT_NE(outcome.out.find(line), std::string::npos) << line << "\n" << outcome.out;
    }
}

// Run by a standard user, doctor says the same with advice that user can follow: no command that
// needs an administrator.
TEST_P(DoctorFaults, NameNoAdministratorCommandToAStandardUser) {
    const FaultCase& c = GetParam();
    FakeInstallation installation;
    PingTransport transport;
    c.fault(installation, transport);
    const std::string as_administrator = run(installation, transport).out;
    installation.is_elevated = false;
    Outcome outcome = run(installation, transport);
    EXPECT_EQ(outcome.status, c.status) << outcome.out;
    for (const char* command : {"sc start", "DrovaneHelper.exe install", "elevated prompt"}) {
        EXPECT_EQ(outcome.out.find(command), std::string::npos) << command << "\n" << outcome.out;
    }
    // Where the administrator is told the Helper's install command, the user is told the client's.
    if (as_administrator.find("DrovaneHelper.exe install") != std::string::npos) {
        EXPECT_NE(outcome.out.find("from the desktop client (it asks for an administrator's "
                                   "approval)"),
                  std::string::npos)
            << outcome.out;
    }
}

const std::string kMismatchBody =
    R"({"code":"coreSha256Mismatch","message":"Core SHA256 mismatch"})";
const std::string kMismatch =
    "HTTP/1.1 409 Conflict\r\ncontent-type: application/json\r\n"
    "x-drovane-helper-protocol: 8\r\n"
    "content-length: " +
    std::to_string(kMismatchBody.size()) + "\r\n\r\n" + kMismatchBody;

INSTANTIATE_TEST_SUITE_P(
    Doctor, DoctorFaults,
    ::testing::Values(
        FaultCase{"NotInstalled",
                  [](FakeInstallation& i, PingTransport&) { i.service.reset(); },
                  1,
                  {"FAIL  service registered: DrovaneHelperService is not installed: install it",
                   "FAIL  Core beside the Helper: C:\\Downloads\\DrovaneCore.exe does not exist"}},
        FaultCase{
            "SharedProcessDemandStartOtherAccount",
            [](FakeInstallation& i, PingTransport&) {
                i.service->own_process = false;
                i.service->automatic_start = false;
                i.service->account = ".\\someone";
            },
            1,
            {"FAIL  own process: the service shares a process: reinstall", "FAIL  automatic start",
             "FAIL  service account: .\\someone is not LocalSystem"}},
        FaultCase{"RecoveryUnreadableIsAWarning",
                  [](FakeInstallation& i, PingTransport&) {
                      i.recovery_setting = Error::os(124).context("query the recovery actions");
                  },
                  0,
                  {"warn  recovery actions: cannot be read back here (query the recovery actions: ",
                   "(os error 124)); check them with: sc qfailure DrovaneHelperService"}},
        FaultCase{"RecoveryDifferent",
                  [](FakeInstallation& i, PingTransport&) {
                      i.recovery_setting = RecoverySetting{86400, {{true, 5000}, {false, 0}}};
                  },
                  1,
                  {"FAIL  recovery actions: the service is not restarted after a crash"}},
        FaultCase{"HelperBinaryMissing",
                  [](FakeInstallation& i, PingTransport&) {
                      i.files.erase(kDir + "\\DrovaneHelper.exe");
                  },
                  1,
                  {"FAIL  Helper binary: C:\\Program Files\\Drovane\\DrovaneHelper.exe does not "
                   "exist"}},
        FaultCase{"BinaryPathNamesAnotherProgram",
                  [](FakeInstallation& i, PingTransport&) {
                      i.service->binary_path = "C:\\other\\svchost.exe --owner-sid " + kOwner;
                  },
                  1,
                  {"FAIL  Helper binary: the binary path names C:\\other\\svchost.exe"}},
        FaultCase{"AnotherOwnerIsAWarning",
                  [](FakeInstallation& i, PingTransport&) { i.user = "S-1-5-21-9-9-9-500"; },
                  0,
                  {"warn  owner: the owner is " + kOwner +
                   ", not this account (S-1-5-21-9-9-9-500): this account's connections will be "
                   "refused"}},
        FaultCase{"OwnerComparedAsAnAccountSid",
                  [](FakeInstallation& i, PingTransport&) { i.user = "s-1-5-21-1-2-3-1001"; },
                  0,
                  {"ok    owner: this account, s-1-5-21-1-2-3-1001"}},
        FaultCase{"NoOwnerInTheLaunchArguments",
                  [](FakeInstallation& i, PingTransport&) {
                      i.service->binary_path = "\"" + kDir + "\\DrovaneHelper.exe\"";
                  },
                  1,
                  {"FAIL  owner: the launch arguments name no --owner-sid"}},
        FaultCase{"Stopped",
                  [](FakeInstallation& i, PingTransport&) {
                      i.state = "Stopped";
                      i.port = Error("no Port value");
                  },
                  1,
                  {"FAIL  service running: it is Stopped: start it with: sc start "
                   "DrovaneHelperService from an elevated prompt, or reinstall it: reinstall",
                   "FAIL  published port: no Port value"}},
        FaultCase{"PortHeldByAnotherProcess",
                  [](FakeInstallation& i, PingTransport&) {
                      i.proof = helper_client::Failure{
                          helper_client::FailureKind::not_helper,
                          Error("the listener on 127.0.0.1:50123 is process 77, not "
                                "DrovaneHelperService's process 12")};
                  },
                  1,
                  {"FAIL  port belongs to the Helper service: the listener on 127.0.0.1:50123 is "
                   "process 77, not DrovaneHelperService's process 12"}},
        FaultCase{"PingDigestMismatch",
                  [](FakeInstallation& i, PingTransport& t) {
                      i.files[kDir + "\\DrovaneCore.exe"] = std::string(64, 'b');
                      t.reply = kMismatch;
                  },
                  1,
                  {"FAIL  Core digest: expected " + kDigest + ", found " + std::string(64, 'b'),
                   "FAIL  ping: coreSha256Mismatch: this build expects " + kDigest +
                       ", the Core beside the Helper has " + std::string(64, 'b')}},
        FaultCase{
            "CoreMissing",
            [](FakeInstallation& i, PingTransport&) { i.files.erase(kDir + "\\DrovaneCore.exe"); },
            1,
            {"FAIL  Core beside the Helper: C:\\Program Files\\Drovane\\DrovaneCore.exe "
             "does not exist"}},
        FaultCase{"WritableDirectoryIsAWarning",
                  [](FakeInstallation& i, PingTransport&) {
                      i.grants[kDir] = {{"BUILTIN\\Users (S-1-5-32-545)", "write data, add files"},
                                        {"Everyone (S-1-1-0)", "full control"}};
                  },
                  0,
                  {"warn  write access to C:\\Program Files\\Drovane: BUILTIN\\Users "
                   "(S-1-5-32-545) has write data, add files: that account could plant DLLs",
                   "warn  write access to C:\\Program Files\\Drovane: Everyone (S-1-1-0) has full "
                   "control"}}),
    [](const auto& info) { return info.param.name; });

TEST(Doctor, BinaryPathParsing) {
    struct Case {
        std::string path, executable;
        std::optional<std::string> owner;
    };
    for (const Case& c : std::vector<Case>{
             {"\"C:\\A B\\DrovaneHelper.exe\" --owner-sid S-1-5-18", "C:\\A B\\DrovaneHelper.exe",
              "S-1-5-18"},
             {"C:\\h\\DrovaneHelper.exe  --owner-sid   S-1-2", "C:\\h\\DrovaneHelper.exe", "S-1-2"},
             {"\"C:\\h\\DrovaneHelper.exe\"", "C:\\h\\DrovaneHelper.exe", std::nullopt},
             {"\"C:\\h\\DrovaneHelper.exe\" --owner-sid", "C:\\h\\DrovaneHelper.exe", std::nullopt},
             {"\"unterminated", "unterminated", std::nullopt},
             {"", "", std::nullopt},
         }) {
        LaunchCommand command = parse_binary_path(c.path);
        EXPECT_EQ(command.executable, c.executable) << c.path;
        EXPECT_EQ(command.owner_sid, c.owner) << c.path;
    }
}

}  // namespace
}  // namespace drovane::client
