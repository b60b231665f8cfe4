#include "client/client_commands.hpp"

#include <algorithm>
#include <charconv>
#include <optional>

#include "names.hpp"

namespace drovane::client {

using helper_client::Answer;
using helper_client::Call;

namespace {

// Prints the answer readably: its status, then the members of the Helper's JSON reply in the
// order it sends them, or the text.
void print_answer(const Answer& answer, std::ostream& out) {
    out << "status: " << answer.status << '\n';
    if (answer.error) {
        out << "code: " << answer.error->code << '\n';
        out << "message: " << answer.error->message << '\n';
        if (answer.error->os_error) {
            out << "osError: " << *answer.error->os_error << '\n';
        }
        return;
    }
    if (!answer.session_id.empty() || answer.stopped) {
        out << "sessionId: " << answer.session_id << '\n';
        if (answer.stopped) {
            out << "stopped: " << (*answer.stopped ? "true" : "false") << '\n';
            if (!answer.reason.empty()) {
                out << "reason: " << answer.reason << '\n';
            }
        } else {
            out << "pid: " << answer.pid << '\n';
        }
        return;
    }
    if (!answer.text.empty()) {
        out << answer.text << '\n';
    }
}

// Reads "--name value" options after the command word; fails on anything else.
Result<std::vector<std::pair<std::string, std::string>>> read_options(
    const std::vector<std::string>& args, std::initializer_list<std::string_view> allowed,
    std::initializer_list<std::string_view> flags = {}) {
    std::vector<std::pair<std::string, std::string>> options;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& name = args[i];
        if (std::find(flags.begin(), flags.end(), name) != flags.end()) {
            options.emplace_back(name, "");
            continue;
        }
        if (std::find(allowed.begin(), allowed.end(), name) == allowed.end()) {
            return Error("unknown option for " + args[0] + ": " + name);
        }
        if (i + 1 >= args.size()) {
            return Error(name + " needs a value");
        }
        options.emplace_back(name, args[++i]);
    }
    return options;
}

std::string option(const std::vector<std::pair<std::string, std::string>>& options,
                   std::string_view name, std::string fallback = {}) {
    for (const auto& [key, value] : options) {
        if (key == name) {
            return value;
        }
    }
    return fallback;
}

bool has_flag(const std::vector<std::pair<std::string, std::string>>& options,
              std::string_view name) {
    for (const auto& entry : options) {
        if (entry.first == name) {
            return true;
        }
    }
    return false;
}

Result<unsigned> parse_count(const std::string& text, std::string_view name) {
    unsigned value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc{} || end != text.data() + text.size() || value == 0) {
        return Error(std::string(name) + " takes a positive whole number");
    }
    return value;
}

int report(const Call<Answer>& answer, ClientEnvironment& env) {
    if (!answer) {
        env.err << "error: " << answer.failure().error.text() << '\n';
        return 1;
    }
    print_answer(*answer, env.out);
    return answer->status == 200 ? 0 : 1;
}

// Follows the log by its line numbers: each poll reads the lines after the last one printed, so
// none is printed twice or skipped unannounced, however alike they are or however many arrive.
int follow_logs(ClientEnvironment& env, std::chrono::milliseconds interval,
                std::optional<unsigned> polls) {
    std::uint64_t cursor = 0;
    for (unsigned poll = 0; !polls || poll < *polls; ++poll) {
        if (poll != 0) {
            env.sleep(interval);
        }
        Call<Answer> reply = helper_client::logs_since(env.transport, cursor);
        if (!reply || reply->status != 200) {
            return report(reply, env);
        }
        const std::uint64_t from = reply->restarted ? 0 : cursor;
        if (reply->restarted) {
            env.out << "-- the Helper restarted; its log from the start --\n";
        }
        // The first read starts at the log's window; lines before it are history, not missed.
        if (reply->dropped != 0 && (poll != 0 || reply->restarted)) {
            env.out << "-- missed " << reply->dropped << " line" << (reply->dropped == 1 ? "" : "s")
                    << ": the log moved past them between two reads --\n";
        }
        if (reply->log_cursor - from - reply->dropped != 0) {
            env.out << reply->text << '\n';
        }
        env.out.flush();
        cursor = reply->log_cursor;
    }
    return 0;
}

}  // namespace

std::string usage_text() {
    return "usage: DrovaneHelperClient <command> [options]\n"
           "  ping [--sha256 <digest>]            ask the Helper whether it expects our Core\n"
           "  start [--session <id>] [--address <pipe>]\n"
           "                                      start the Core (random session and address)\n"
           "  stop --session <id>                 stop the Core started under that session\n"
           "  logs [--follow] [--interval-ms <n>] [--polls <n>]\n"
           "                                      print the Helper log (--follow: new lines)\n"
           "  install | uninstall                 run DrovaneHelper.exe beside this program,\n"
           "                                      installing with this process as the owner\n"
           "  doctor                              check the installation, one line per check\n"
           "  help | --help | -h                  print this text\n"
           "  --version                           print the version and the Core digest it "
           "expects\n";
}

std::string version_text(std::string_view expected_digest) {
    return "DrovaneHelperClient " DROVANE_VERSION "\nexpected Core SHA-256: " +
           std::string(expected_digest) + "\n";
}

int run_client_command(const std::vector<std::string>& args, ClientEnvironment& env) {
    if (args.empty()) {
        env.err << usage_text();
        return 1;
    }
    const std::string& command = args[0];
    if (args.size() == 1 && (command == "help" || command == "--help" || command == "-h")) {
        env.out << usage_text();
        return 0;
    }
    if (args.size() == 1 && command == "--version") {
        env.out << version_text(env.expected_digest);
        return 0;
    }
    auto fail = [&](const Error& error) {
        env.err << "error: " << error.text() << '\n' << usage_text();
        return 1;
    };

    if (command == "ping") {
        auto options = read_options(args, {"--sha256"});
        if (!options) {
            return fail(options.error());
        }
        std::string digest = option(*options, "--sha256", env.expected_digest);
        Call<Answer> reply = helper_client::ping(env.transport, digest);
        if (reply && !reply->protocol.empty()) {
            env.out << "protocol: " << reply->protocol << '\n';
        }
        return report(reply, env);
    }
    if (command == "start") {
        auto options = read_options(args, {"--session", "--address"});
        if (!options) {
            return fail(options.error());
        }
        std::string address = option(*options, "--address",
                                     std::string(names::core_pipe_prefix) + env.random_hex32());
        std::string session = option(*options, "--session", env.random_hex32());
        env.out << "address: " << address << '\n';
        return report(helper_client::start(env.transport, address, session), env);
    }
    if (command == "stop") {
        auto options = read_options(args, {"--session"});
        if (!options) {
            return fail(options.error());
        }
        std::string session = option(*options, "--session");
        if (session.empty()) {
            return fail(Error("stop needs --session <id>"));
        }
        return report(helper_client::stop(env.transport, session), env);
    }
    if (command == "logs") {
        auto options = read_options(args, {"--interval-ms", "--polls"}, {"--follow"});
        if (!options) {
            return fail(options.error());
        }
        if (has_flag(*options, "--follow")) {
            unsigned interval = 500;
            std::optional<unsigned> polls;
            if (std::string text = option(*options, "--interval-ms"); !text.empty()) {
                auto parsed = parse_count(text, "--interval-ms");
                if (!parsed) {
                    return fail(parsed.error());
                }
                interval = *parsed;
            }
            if (std::string text = option(*options, "--polls"); !text.empty()) {
                auto parsed = parse_count(text, "--polls");
                if (!parsed) {
                    return fail(parsed.error());
                }
                polls = *parsed;
            }
            return follow_logs(env, std::chrono::milliseconds(interval), polls);
        }
        if (options->size() > 0) {
            return fail(Error("--interval-ms and --polls go with --follow"));
        }
        Call<Answer> reply = helper_client::logs(env.transport);
        if (!reply || reply->status != 200) {
            return report(reply, env);
        }
        if (!reply->text.empty()) {
            env.out << reply->text << '\n';
        }
        return 0;
    }
    return fail(Error("unknown command: " + command));
}

}  // namespace drovane::client
