// The rules of Core supervision that need no Windows: the forms of a Core address and a session
// ID, the text of a Core's exit status, and the cutting of the Core's standard error into lines.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "names.hpp"

namespace drovane::hub {

// The named-pipe prefix of every Core address: \\.\pipe\DrovaneCore_
inline constexpr std::string_view kCoreAddressPrefix = names::core_pipe_prefix;
inline constexpr std::size_t kCoreAddressLength = 53;
inline constexpr std::size_t kSessionIdLength = 32;

// The prefix (compared exactly, case included) followed by 32 lower-case hex characters.
bool is_valid_core_address(std::string_view address);
// Exactly 32 lower-case hex characters.
bool is_valid_session_id(std::string_view session_id);

// "exit code: " and the code in decimal, or in lower-case hex with "0x" when bit 31 is set
// (the NTSTATUS-style codes of a crash read better that way).
std::string format_exit_status(std::uint32_t code);

// The longest Core line that reaches the Helper log unchanged, in bytes. A longer one is cut here
// so that a Core cannot make the service hold an unbounded line.
inline constexpr std::size_t kCoreLineLimit = 16384;
// Ends a cut line: U+2026 HORIZONTAL ELLIPSIS.
inline constexpr std::string_view kCutLineMark = "\xe2\x80\xa6";

// Cuts a byte stream into lines at each line feed, dropping the line feed and a carriage return
// just before it. Each line must be valid UTF-8: the first one that is not ends the copy, and it
// and everything after it are dropped.
//
// A line longer than kCoreLineLimit keeps its first kCoreLineLimit bytes, backed off to a whole
// UTF-8 character, followed by kCutLineMark; the rest of it, up to its line feed, is dropped
// without being judged. The splitter never holds more than kCoreLineLimit + 1 bytes (the one
// for a carriage return that may precede the line feed).
class CoreLineSplitter {
  public:
    using Sink = std::function<void(std::string line)>;

    explicit CoreLineSplitter(Sink sink);

    // Hands every complete line to the sink; false once an invalid line has ended the copy.
    bool feed(std::string_view bytes);
    // The stream has ended: bytes after the last line feed form a final line.
    void finish();

    bool stopped() const { return stopped_; }

  private:
    // Judges and hands on the pending line (cut first when it is too long), leaving it empty.
    void emit_pending();

    Sink sink_;
    std::string pending_;
    // The current line has been cut: its bytes up to the next line feed are dropped.
    bool skipping_ = false;
    bool stopped_ = false;
};

}  // namespace drovane::hub
