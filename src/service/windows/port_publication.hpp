// The published port: the volatile Runtime key under the Helper's service key, whose Port value
// tells the desktop client where the endpoint server listens.
#pragma once

#include <cstdint>
#include <string_view>

#include "error.hpp"

namespace drovane::win {

// Creates (or opens) the volatile Runtime key and sets Port to `port` as a REG_DWORD. Fails with
// "publish helper server port" over the failing call's OS error; a key that the create
// step made stays in place.
Status publish_port(std::uint16_t port);

// Deletes the Runtime key with its Port value; reports nothing.
void withdraw_port();

}  // namespace drovane::win
