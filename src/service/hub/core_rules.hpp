// The rules of Core supervision that need no Windows: the forms of a Core address and a session
// ID, the text of a Core's exit status, and the cutting of the Core's standard error into lines.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace drovane::hub {

// The named-pipe prefix of every Core address: \\.\pipe\DrovaneCore_
inline constexpr std::string_view kCoreAddressPrefix = "\\\\.\\pipe\\DrovaneCore_";
inline constexpr std::size_t kCoreAddressLength = 53;
inline constexpr std::size_t kSessionIdLength = 32;

// The prefix (compared exactly, case included) followed by 32 lower-case hex characters.
bool is_valid_core_address(std::string_view address);
// Exactly 32 lower-case hex characters.
bool is_valid_session_id(std::string_view session_id);

// "exit code: " and the code in decimal, or in lower-case hex with "0x" when bit 31 is set
// (the NTSTATUS-style codes of a crash read better that way).
std::string format_exit_status(std::uint32_t code);

// Cuts a byte stream into lines at each line feed, dropping the line feed and a carriage return
// just before it. Each line must be valid UTF-8: the first one that is not ends the copy, and it
// and everything after it are dropped.
class CoreLineSplitter {
  public:
    using Sink = std::function<void(std::string line)>;

    explicit CoreLineSplitter(Sink sink) : sink_(std::move(sink)) {}

    // Hands every complete line to the sink; false once an invalid line has ended the copy.
    bool feed(std::string_view bytes);
    // The stream has ended: bytes after the last line feed form a final line.
    void finish();

    bool stopped() const { return stopped_; }

  private:
    bool emit(std::string line);

    Sink sink_;
    std::string pending_;
    bool stopped_ = false;
};

}  // namespace drovane::hub
