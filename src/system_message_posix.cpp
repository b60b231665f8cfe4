// Native builds (portable tests) have no Windows message table: the C library's text stands in.
#include <system_error>

#include "error.hpp"

namespace drovane {

std::string system_message(std::uint32_t code) {
    return std::system_category().message(static_cast<int>(code));
}

}  // namespace drovane
