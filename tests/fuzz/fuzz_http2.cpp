// The HTTP/2 front fed raw connection bytes: the client sends the HTTP/2 connection preface and
// then the input (frames, in the seeds), and shuts its sending side. The preface is the target's
// so that no input is spent on finding it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"

namespace {
constexpr std::string_view kPreface = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string input(kPreface);
    input.append(reinterpret_cast<const char*>(data), size);
    const std::string output = drovane::fuzz::exchange(input);
    // The server's side of an HTTP/2 connection opens with its SETTINGS frame (RFC 9113 3.4):
    // frame type 4 on stream 0.
    if (!output.empty() &&
        (output.size() < 9 || output[3] != 0x04 || output.substr(5, 4) != std::string(4, '\0'))) {
        drovane::fuzz::finding("HTTP/2 connection did not open with the server's SETTINGS");
    }
    return 0;
}
