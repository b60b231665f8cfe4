// The HTTP/1.1 front fed raw connection bytes: the input is everything the client sends before
// it shuts its sending side. (Bytes that open with the HTTP/2 preface reach the HTTP/2 front.)
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::string output = drovane::fuzz::exchange(input);
    // Whatever the server sends on an HTTP/1 connection is a response, down to Beast's refusals.
    const std::string_view sent(output);
    const bool http2 = input.starts_with("PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n");
    if (!http2 && !sent.empty() && !sent.starts_with("HTTP/1.1 ") &&
        !sent.starts_with("HTTP/1.0 ")) {
        drovane::fuzz::finding("HTTP/1 connection sent bytes that are no response");
    }
    return 0;
}
