#include "client/doctor.hpp"

#include "argv_quoting.hpp"
#include "ascii.hpp"
#include "names.hpp"
#include "owner_sid.hpp"
#include "text.hpp"

namespace drovane::client {

namespace {

enum class Verdict { ok, warn, fail };

// What to do about a fault, in commands the calling user can run: the elevated administrator is
// told the commands, anyone else the desktop client's install (which asks for an administrator's
// approval) and the boot start.
struct Advice {
    std::string install;
    std::string reinstall;
    std::string start;
};
Advice advice_for(bool elevated);

class Report {
  public:
    Report(std::ostream& out, bool elevated) : out_(out), advice_(advice_for(elevated)) {}
    const Advice& advice() const { return advice_; }
    void line(Verdict verdict, std::string_view check, std::string_view text) {
        static constexpr std::string_view kWords[] = {"ok  ", "warn", "FAIL"};
        out_ << kWords[static_cast<int>(verdict)] << "  " << check << ": " << text << '\n';
        failed_ = failed_ || verdict == Verdict::fail;
    }
    bool failed() const { return failed_; }

  private:
    std::ostream& out_;
    Advice advice_;
    bool failed_ = false;
};

std::string directory_of(std::string_view path) {
    std::size_t slash = path.find_last_of("\\/");
    return slash == std::string_view::npos ? std::string() : std::string(path.substr(0, slash));
}

std::string file_name_of(std::string_view path) {
    std::size_t slash = path.find_last_of("\\/");
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string join_path(const std::string& directory, std::string_view name) {
    return directory.empty() ? std::string(name) : directory + "\\" + std::string(name);
}

bool is_local_system(std::string_view account) {
    return ascii_iequals(account, "LocalSystem") || ascii_iequals(account, ".\\LocalSystem") ||
           ascii_iequals(account, "NT AUTHORITY\\SYSTEM");
}

// How the owner installs the Helper, and the hint that closes each line a reinstall repairs.
const std::string kInstallFromElevatedPrompt =
    "from an elevated prompt: " + std::string(names::helper_file) +
    " install --owner-pid <client PID>";
const std::string kReinstall = "reinstall " + kInstallFromElevatedPrompt;
const std::string kFromTheClient =
    " from the desktop client (it asks for an administrator's approval)";

Advice advice_for(bool elevated) {
    if (elevated) {
        return {"install it " + kInstallFromElevatedPrompt, kReinstall,
                "start it with: sc start " + std::string(names::service) +
                    " from an elevated prompt, or reinstall it: " + kReinstall};
    }
    return {
        "install it" + kFromTheClient, "reinstall it" + kFromTheClient,
        "it starts at boot, or an administrator can start it; or reinstall it" + kFromTheClient};
}

// The registration's own lines; the Helper's executable path when it names one.
std::optional<std::string> check_registration(Installation& installation, Report& report,
                                              std::optional<std::string>& owner_sid) {
    Result<std::optional<ServiceRegistration>> found = installation.registration();
    if (!found) {
        report.line(Verdict::fail, "service registered",
                    "cannot query " + std::string(names::service) + ": " + found.error().text());
        return std::nullopt;
    }
    if (!found->has_value()) {
        report.line(Verdict::fail, "service registered",
                    std::string(names::service) + " is not installed: " + report.advice().install);
        return std::nullopt;
    }
    const ServiceRegistration& registration = **found;
    report.line(Verdict::ok, "service registered", std::string(names::service));
    report.line(registration.own_process ? Verdict::ok : Verdict::fail, "own process",
                registration.own_process
                    ? "yes"
                    : "the service shares a process: " + report.advice().reinstall);
    report.line(registration.automatic_start ? Verdict::ok : Verdict::fail, "automatic start",
                registration.automatic_start
                    ? "yes"
                    : "the service does not start at boot: " + report.advice().reinstall);
    report.line(is_local_system(registration.account) ? Verdict::ok : Verdict::fail,
                "service account",
                is_local_system(registration.account)
                    ? registration.account
                    : registration.account + " is not LocalSystem: " + report.advice().reinstall);

    Result<RecoverySetting> recovery = installation.recovery();
    if (!recovery) {
        report.line(Verdict::warn, "recovery actions",
                    "cannot be read back here (" + recovery.error().text() +
                        "); check them with: sc qfailure " + std::string(names::service));
    } else {
        bool expected = recovery->reset_period_seconds == names::recovery_reset_period_seconds &&
                        recovery->actions.size() == names::recovery_restarts;
        for (const RecoveryAction& action : recovery->actions) {
            expected =
                expected && action.restart && action.delay_ms == names::recovery_restart_delay_ms;
        }
        report.line(expected ? Verdict::ok : Verdict::fail, "recovery actions",
                    expected ? std::string(names::recovery_summary)
                             : "the service is not restarted after a crash as installed: " +
                                   report.advice().reinstall);
    }

    LaunchCommand command = parse_binary_path(registration.binary_path);
    owner_sid = command.owner_sid;
    const bool named_right = ascii_iequals(file_name_of(command.executable), names::helper_file);
    if (!named_right) {
        report.line(Verdict::fail, "Helper binary",
                    "the binary path names " + command.executable + ", not " +
                        std::string(names::helper_file) + ": " + report.advice().reinstall);
    } else if (!installation.file_exists(command.executable)) {
        report.line(Verdict::fail, "Helper binary",
                    command.executable +
                        " does not exist: put the Helper back or reinstall from its new place");
    } else {
        report.line(Verdict::ok, "Helper binary", command.executable);
    }
    return command.executable;
}

void check_owner(Installation& installation, Report& report,
                 const std::optional<std::string>& owner_sid) {
    if (!owner_sid) {
        report.line(Verdict::fail, "owner",
                    "the launch arguments name no --owner-sid: " + report.advice().reinstall);
        return;
    }
    Result<std::string> user = installation.user_sid();
    if (!user) {
        report.line(Verdict::warn, "owner",
                    "cannot read this account's SID (" + user.error().text() + "); the owner is " +
                        *owner_sid);
    } else if (peer::same_account_sid(*user, *owner_sid)) {
        report.line(Verdict::ok, "owner", "this account, " + *user);
    } else {
        report.line(Verdict::warn, "owner",
                    "the owner is " + *owner_sid + ", not this account (" + *user +
                        "): this account's connections will be refused; run doctor as the owner, "
                        "or reinstall from the owner's client to change it");
    }
}

void check_service(Installation& installation, Transport& transport,
                   std::string_view expected_digest, const std::optional<std::string>& core_digest,
                   Report& report) {
    Result<std::string> state = installation.service_state();
    if (!state) {
        report.line(Verdict::fail, "service running", "cannot query it: " + state.error().text());
    } else if (*state != "Running") {
        report.line(Verdict::fail, "service running",
                    "it is " + *state + ": " + report.advice().start);
    } else {
        report.line(Verdict::ok, "service running", "Running");
    }

    Result<unsigned> port = installation.published_port();
    if (!port) {
        report.line(
            Verdict::fail, "published port",
            port.error().text() + ": a running Helper publishes it; " + report.advice().start);
        return;
    }
    report.line(Verdict::ok, "published port", "127.0.0.1:" + std::to_string(*port));

    helper_client::Call<unsigned> proven = installation.prove_helper();
    if (!proven) {
        report.line(Verdict::fail, "port belongs to the Helper service",
                    proven.failure().error.text());
    } else {
        report.line(Verdict::ok, "port belongs to the Helper service",
                    "127.0.0.1:" + std::to_string(*proven) + " is " + std::string(names::service) +
                        "'s own process");
    }

    helper_client::Call<helper_client::Answer> ping =
        helper_client::ping(transport, expected_digest);
    if (!ping) {
        report.line(Verdict::fail, "ping", ping.failure().error.text());
    } else if (ping->status == 200) {
        report.line(
            Verdict::ok, "ping",
            "200, the Helper expects this build's Core (" + std::string(expected_digest) + ")");
    } else if (ping->error && ping->error->code == "coreSha256Mismatch") {
        report.line(Verdict::fail, "ping",
                    "coreSha256Mismatch: this build expects " + std::string(expected_digest) +
                        ", the Core beside the Helper has " + core_digest.value_or("no digest") +
                        "; install the Helper and the Core of one release together");
    } else {
        report.line(
            Verdict::fail, "ping",
            "status " + std::to_string(ping->status) + ": " +
                (ping->error ? ping->error->code + ": " + ping->error->message : ping->text));
    }
}

// The Core's digest when it is there.
std::optional<std::string> check_core(Installation& installation, const std::string& directory,
                                      std::string_view expected_digest, Report& report) {
    const std::string core = join_path(directory, names::core_file);
    if (!installation.file_exists(core)) {
        report.line(Verdict::fail, "Core beside the Helper",
                    core +
                        " does not exist: the Core ships with the desktop client and must lie "
                        "beside " +
                        std::string(names::helper_file));
        return std::nullopt;
    }
    report.line(Verdict::ok, "Core beside the Helper", core);
    Result<std::string> digest = installation.file_sha256(core);
    if (!digest) {
        report.line(Verdict::fail, "Core digest",
                    "cannot read " + core + ": " + digest.error().text());
        return std::nullopt;
    }
    if (*digest != expected_digest) {
        report.line(Verdict::fail, "Core digest",
                    "expected " + std::string(expected_digest) + ", found " + *digest +
                        ": the Helper will refuse to start this Core (coreVerificationFailed)");
    } else {
        report.line(Verdict::ok, "Core digest", *digest);
    }
    return *digest;
}

void check_permissions(Installation& installation, const std::string& path, Report& report) {
    const std::string check = "write access to " + path;
    Result<std::vector<WriteGrant>> grants = installation.untrusted_write_grants(path);
    if (!grants) {
        report.line(Verdict::warn, check, "cannot read its permissions: " + grants.error().text());
        return;
    }
    if (grants->empty()) {
        report.line(Verdict::ok, check, "administrators, SYSTEM and TrustedInstaller only");
        return;
    }
    for (const WriteGrant& grant : *grants) {
        report.line(Verdict::warn, check,
                    grant.account + " has " + grant.rights +
                        ": that account could plant DLLs that a SYSTEM process loads or swap "
                        "the files; remove this right (icacls) or install under Program Files");
    }
}

}  // namespace

LaunchCommand parse_binary_path(std::string_view binary_path) {
    // The Service Control Manager starts the service with this text as its command line, so it
    // is read back by the rules the service's own entry splits it with.
    SplitCommandLine split = split_command_line(to_utf16(binary_path));
    LaunchCommand command;
    command.executable = to_utf8(split.program);
    for (std::size_t i = 0; i + 1 < split.arguments.size(); ++i) {
        if (split.arguments[i] == L"--owner-sid") {
            command.owner_sid = to_utf8(split.arguments[i + 1]);
        }
    }
    return command;
}

int run_doctor(Installation& installation, Transport& transport, std::string_view expected_digest,
               std::ostream& out) {
    Report report(out, installation.elevated());
    std::optional<std::string> owner_sid;
    std::optional<std::string> helper = check_registration(installation, report, owner_sid);
    if (helper) {
        check_owner(installation, report, owner_sid);
    }
    std::string directory = helper ? directory_of(*helper) : installation.own_directory();
    std::optional<std::string> core_digest =
        check_core(installation, directory, expected_digest, report);
    if (helper) {
        check_service(installation, transport, expected_digest, core_digest, report);
    }
    check_permissions(installation, directory, report);
    check_permissions(installation, join_path(directory, names::helper_file), report);
    check_permissions(installation, join_path(directory, names::core_file), report);
    return report.failed() ? 1 : 0;
}

}  // namespace drovane::client
