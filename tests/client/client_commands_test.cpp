#include <gtest/gtest.h>

#include <deque>
#include <optional>
#include <sstream>

#include "client/client_commands.hpp"

namespace drovane::client {
namespace {

struct Sent {
    std::string method, target, body;
};

// Answers each exchange with the next scripted reply and records what was sent.
class ScriptedTransport final : public Transport {
  public:
    std::vector<std::string> replies;
    std::vector<Sent> sent;

    helper_client::Call<helper_client::HttpReply> exchange(std::string_view method,
                                                           std::string_view target,
                                                           std::string_view body) override {
        sent.push_back({std::string(method), std::string(target), std::string(body)});
        if (sent.size() > replies.size()) {
            return helper_client::Failure{helper_client::FailureKind::not_running,
                                          Error("no Port value")};
        }
        return *helper_client::parse_reply(replies[sent.size() - 1]);
    }
};

std::string reply(unsigned status, std::string_view type, std::string_view body,
                  std::string_view extra_headers = {}) {
    return "HTTP/1.1 " + std::to_string(status) + " X\r\ncontent-type: " + std::string(type) +
           "\r\n" + std::string(extra_headers) + "content-length: " + std::to_string(body.size()) +
           "\r\n\r\n" + std::string(body);
}

struct Outcome {
    int status;
    std::string out, err;
};

Outcome run(ScriptedTransport& transport, std::vector<std::string> args) {
    std::ostringstream out, err;
    int counter = 0;
    ClientEnvironment env{transport,
                          out,
                          err,
                          std::string(64, 'a'),
                          [&] { return std::string(31, '0') + std::to_string(++counter); },
                          [](std::chrono::milliseconds) {}};
    int status = run_client_command(args, env);
    return {status, out.str(), err.str()};
}

TEST(ClientCommands, SendsEachCommandsRequestAndPrintsTheReply) {
    ScriptedTransport transport;
    transport.replies = {
        reply(200, "text/plain; charset=utf-8", "Z:\\h\\DrovaneHelper.exe",
              "x-drovane-helper-protocol: 8\r\n"),
        reply(200, "application/json",
              R"({"sessionId":"00000000000000000000000000000002","pid":42})"),
        reply(409, "application/json",
              R"({"sessionId":"000000000000000000000000000000ab","stopped":false,)"
              R"("reason":"sessionMismatch"})"),
        reply(500, "application/json",
              R"({"code":"processLaunchFailed","message":"m","details":{"osError":2}})"),
    };
    Outcome ping = run(transport, {"ping"});
    EXPECT_EQ(transport.sent[0].target, "/ping?coreSha256=" + std::string(64, 'a'));
    EXPECT_EQ(ping.status, 0);
    EXPECT_EQ(ping.out, "protocol: 8\nstatus: 200\nZ:\\h\\DrovaneHelper.exe\n");

    Outcome start = run(transport, {"start"});
    EXPECT_EQ(transport.sent[1].body,
              R"({"address":"\\\\.\\pipe\\DrovaneCore_00000000000000000000000000000001",)"
              R"("sessionId":"00000000000000000000000000000002"})");
    EXPECT_EQ(start.status, 0);
    EXPECT_NE(start.out.find("sessionId: 00000000000000000000000000000002\npid: 42\n"),
              std::string::npos)
        << start.out;

    const std::string session = "000000000000000000000000000000ab";
    Outcome stop = run(transport, {"stop", "--session", session});
    EXPECT_EQ(transport.sent[2].body, R"({"sessionId":")" + session + "\"}");
    EXPECT_EQ(stop.status, 1);
    EXPECT_EQ(stop.out,
              "status: 409\nsessionId: " + session + "\nstopped: false\nreason: sessionMismatch\n");

    const std::string address = "\\\\.\\pipe\\DrovaneCore_" + session;
    Outcome failed = run(transport, {"start", "--session", session, "--address", address});
    EXPECT_EQ(transport.sent[3].body, R"({"address":"\\\\.\\pipe\\DrovaneCore_)" + session +
                                          R"(","sessionId":")" + session + "\"}");
    EXPECT_EQ(failed.out, "address: " + address +
                              "\nstatus: 500\ncode: processLaunchFailed\nmessage: m\n"
                              "osError: 2\n");

    // An input the Helper would refuse is refused here, before anything is sent.
    Outcome refused = run(transport, {"stop", "--session", "AB"});
    EXPECT_EQ(transport.sent.size(), 4u);
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("nothing was sent"), std::string::npos) << refused.err;
}

TEST(ClientCommands, BadUseAndTransportFailuresExitOne) {
    struct Case {
        std::vector<std::string> args;
        std::string error;
    };
    const Case cases[] = {
        {{}, "usage:"},
        {{"stop"}, "stop needs --session <id>"},
        {{"ping", "--bogus", "x"}, "unknown option for ping: --bogus"},
        {{"start", "--session"}, "--session needs a value"},
        {{"logs", "--polls", "2"}, "go with --follow"},
        {{"logs", "--follow", "--polls", "0"}, "--polls takes a positive whole number"},
        {{"frobnicate"}, "unknown command: frobnicate"},
        {{"logs"}, "error: no Port value"},
    };
    for (const Case& c : cases) {
        ScriptedTransport transport;
        Outcome result = run(transport, c.args);
        EXPECT_EQ(result.status, 1);
        EXPECT_NE(result.err.find(c.error), std::string::npos) << result.err;
        EXPECT_EQ(result.out, "");
    }
}

TEST(ClientCommands, HelpAndVersionPrintAndExitZeroWithoutTheHelper) {
    for (std::string word : {"help", "--help", "-h"}) {
        ScriptedTransport transport;
        Outcome result = run(transport, {word});
        EXPECT_EQ(result.status, 0) << word;
        EXPECT_EQ(result.out, usage_text()) << word;
        EXPECT_EQ(result.err, "") << word;
    }
    ScriptedTransport transport;
    Outcome version = run(transport, {"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_TRUE(version.out.starts_with("DrovaneHelperClient ")) << version.out;
    EXPECT_NE(version.out.find("expected Core SHA-256: " + std::string(64, 'a') + "\n"),
              std::string::npos)
        << version.out;
    EXPECT_TRUE(transport.sent.empty());
}

// The Helper's log as the Helper keeps it: numbered lines, the newest 100 held, read whole or
// after a cursor, with the line-number headers.
class FakeHelperLog final : public Transport {
  public:
    void write(std::string line) {
        held_.emplace_back(next_++, std::move(line));
        if (held_.size() > 100) {
            held_.pop_front();
        }
    }
    void restart() {
        held_.clear();
        next_ = 1;
    }

    helper_client::Call<helper_client::HttpReply> exchange(std::string_view,
                                                           std::string_view target,
                                                           std::string_view) override {
        std::optional<std::uint64_t> after;
        if (target.starts_with("/logs?after=")) {
            after = std::stoull(std::string(target.substr(12)));
        }
        std::string body, headers = "x-drovane-helper-log-next: " + std::to_string(next_) + "\r\n";
        bool first = true;
        for (const auto& [number, line] : held_) {
            if (number > after.value_or(0)) {
                body += (first ? "" : "\n") + line;
                first = false;
            }
        }
        const std::uint64_t oldest = held_.empty() ? next_ : held_.front().first;
        if (after && oldest > *after + 1) {
            headers +=
                "x-drovane-helper-log-dropped: " + std::to_string(oldest - 1 - *after) + "\r\n";
        }
        return *helper_client::parse_reply(reply(200, "text/plain; charset=utf-8", body, headers));
    }

  private:
    std::deque<std::pair<std::uint64_t, std::string>> held_;
    std::uint64_t next_ = 1;
};

std::vector<std::string> repeated(std::string line, int count) {
    return std::vector<std::string>(static_cast<std::size_t>(count), line);
}
std::vector<std::string> numbered(int first, int end) {
    std::vector<std::string> lines;
    for (int i = first; i < end; ++i) {
        lines.push_back("line " + std::to_string(i));
    }
    return lines;
}
std::string joined(const std::vector<std::string>& lines) {
    std::string out;
    for (const std::string& line : lines) {
        out += line + "\n";
    }
    return out;
}

// What the Helper writes before each poll of `logs --follow` (a batch "<restart>" restarts it),
// and everything the follow must print: each line once, in order, and a note where the log moved
// past lines before a poll could read them.
TEST(ClientCommands, FollowPrintsEveryLineOnceAndSaysWhatItMissed) {
    const std::vector<std::string> kRestart{"<restart>"};
    struct Case {
        const char* name;
        std::vector<std::vector<std::string>> batches;
        std::string expected;
    };
    const Case cases[] = {
        {"IdenticalLinesInAFullWindow",
         {repeated("same", 100), repeated("same", 1), {}, repeated("same", 3)},
         joined(repeated("same", 104))},
        {"IdenticalPairsRepeated",
         {{"a", "b"}, {"a", "b"}, {"a", "b", "a"}},
         "a\nb\na\nb\na\nb\na\n"},
        {"MoreThanTheWindowBetweenPolls",
         {numbered(1, 11), numbered(11, 161), numbered(161, 163)},
         joined(numbered(1, 11)) +
             "-- missed 50 lines: the log moved past them between two reads --\n" +
             joined(numbered(61, 163))},
        {"OldHistoryIsNoMiss", {numbered(1, 131), {"new"}}, joined(numbered(31, 131)) + "new\n"},
        {"EmptyLineIsALine", {{""}, {"", "x"}}, "\n\nx\n"},
        {"HelperRestarted",
         {{"a", "b"}, kRestart, {"c"}},
         "a\nb\n-- the Helper restarted; its log from the start --\nc\n"},
    };
    for (const Case& c : cases) {
        FakeHelperLog log;
        std::size_t batch = 0;
        auto write_batch = [&] {
            for (const std::string& line : c.batches[batch]) {
                line == "<restart>" ? log.restart() : log.write(line);
            }
            ++batch;
        };
        write_batch();
        std::ostringstream out, err;
        ClientEnvironment env{log,
                              out,
                              err,
                              std::string(64, 'a'),
                              [] { return std::string(); },
                              [&](std::chrono::milliseconds) { write_batch(); }};
        const std::string polls = std::to_string(c.batches.size());
        EXPECT_EQ(run_client_command({"logs", "--follow", "--polls", polls}, env), 0) << c.name;
        EXPECT_EQ(out.str(), c.expected) << c.name;
        EXPECT_EQ(err.str(), "") << c.name;
    }
}

}  // namespace
}  // namespace drovane::client
