// The calling thread's last error as an error value, and one-line propagation of a failed
// BOOL-returning call, in the manner of WIL's RETURN_IF_WIN32_BOOL_FALSE.
#pragma once

#include "error.hpp"
#include "win/handles.hpp"

namespace drovane::win {

// GetLastError as an OS error.
inline Error last_os_error() {
    return Error::os(::GetLastError());
}

// GetLastError as the Service Control Manager layer's error ("IO error in winapi call").
inline Error last_winapi_error() {
    return Error::winapi(::GetLastError());
}

}  // namespace drovane::win

// Returns from the enclosing function with GetLastError as an OS error when `call` returns FALSE.
#define DROVANE_RETURN_IF_WIN32_BOOL_FALSE(call)    \
    do {                                            \
        if (!(call)) {                              \
            return ::drovane::win::last_os_error(); \
        }                                           \
    } while (false)
