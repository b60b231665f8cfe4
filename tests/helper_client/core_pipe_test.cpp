// connect_core over the seam of its system calls: it waits while the Core's pipe does not exist
// yet or is busy, hands the pipe over only when its server is the Core's process, fails at once
// on any other error, and ends at its own timeout or on cancel.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <string>
#include <thread>

#include "helper_client/helper_endpoint.hpp"
#include "win/handles.hpp"

namespace drovane::helper_client {
namespace {

constexpr std::uint32_t kCore = 4242;
const std::string kAddress = "\\\\.\\pipe\\DrovaneCore_0123456789abcdef0123456789abcdef";

// Answers each open with the next scripted error, or with an open handle once the script is
// spent (an event stands in for the pipe: only its ownership matters here).
class PipeScript final : public ClientSystemCalls {
  public:
    std::deque<std::uint32_t> errors;  // 0: the open succeeds
    std::uint32_t server = kCore;
    bool never = false;  // the pipe never appears
    int opens = 0;

    Result<win::unique_handle> open_pipe(const std::wstring&, std::chrono::milliseconds) override {
        ++opens;
        if (never) {
            return Error::os(ERROR_FILE_NOT_FOUND);
        }
        if (!errors.empty()) {
            std::uint32_t code = errors.front();
            errors.pop_front();
            if (code != 0) {
                return Error::os(code);
            }
        }
        return win::unique_handle(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    }
    Result<std::uint32_t> pipe_server_pid(HANDLE) override { return server; }
};

TEST(ConnectCore, WaitsForTheCoresPipeAndHandsOverOnlyTheCores) {
    struct Case {
        const char* name;
        std::deque<std::uint32_t> errors;
        std::uint32_t server;
        std::optional<FailureKind> failure;  // none: handed over
        std::string text_has;
        int opens;
    };
    const Case cases[] = {
        {"ThereAtOnce", {0}, kCore, std::nullopt, "", 1},
        {"CreatedAfterTheReply",
         {ERROR_FILE_NOT_FOUND, ERROR_FILE_NOT_FOUND, 0},
         kCore,
         std::nullopt,
         "",
         3},
        {"BusyThenFree", {ERROR_SEM_TIMEOUT, ERROR_PIPE_BUSY, 0}, kCore, std::nullopt, "", 3},
        {"AnotherServer", {0}, 77, FailureKind::not_core, "process 77, not the Core", 1},
        {"AnotherServerAfterWaiting",
         {ERROR_FILE_NOT_FOUND, 0},
         77,
         FailureKind::not_core,
         "process 4242",
         2},
        {"AccessDenied", {ERROR_ACCESS_DENIED}, kCore, FailureKind::system, "os error 5", 1},
    };
    for (const Case& c : cases) {
        auto calls = std::make_shared<PipeScript>();
        calls->errors = c.errors;
        calls->server = c.server;
        HelperTransport transport(calls);
        Call<OwnedPipe> pipe =
            transport.connect_core(kAddress, kCore, std::chrono::milliseconds(20000));
        EXPECT_EQ(calls->opens, c.opens) << c.name;
        if (!c.failure) {
            ASSERT_TRUE(pipe.ok()) << c.name << ": " << pipe.failure().error.text();
            EXPECT_NE(pipe->get(), nullptr) << c.name;
            continue;
        }
        ASSERT_FALSE(pipe.ok()) << c.name;
        EXPECT_EQ(pipe.failure().kind, *c.failure) << c.name;
        EXPECT_NE(pipe.failure().error.text().find(c.text_has), std::string::npos)
            << c.name << ": " << pipe.failure().error.text();
    }
}

TEST(ConnectCore, NoPipeEndsAtTheTimeoutOrOnCancel) {
    auto calls = std::make_shared<PipeScript>();
    calls->never = true;
    HelperTransport transport(calls);
    Call<OwnedPipe> late = transport.connect_core(kAddress, kCore, std::chrono::milliseconds(200));
    ASSERT_FALSE(late.ok());
    EXPECT_EQ(late.failure().kind, FailureKind::timed_out);
    EXPECT_GT(calls->opens, 1) << "it looked again while waiting";

    // Cancels until the call has ended, so that a call that begins late is cancelled too.
    std::atomic<bool> ended{false};
    std::thread canceller([&] {
        while (!ended) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            transport.cancel();
        }
    });
    Call<OwnedPipe> cancelled =
        transport.connect_core(kAddress, kCore, std::chrono::milliseconds(60000));
    ended = true;
    canceller.join();
    ASSERT_FALSE(cancelled.ok());
    EXPECT_EQ(cancelled.failure().kind, FailureKind::cancelled);
}

}  // namespace
}  // namespace drovane::helper_client
