// One owner per kind of Windows handle, in the manner of WIL's unique_any: a move-only value that
// releases its handle with the kind's own close function on every path. A kind is a policy: its
// handle type, its close function, the value that means "none" and which values are valid.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winsock2.h>

#include <cstdint>
#include <type_traits>
#include <utility>

namespace drovane::win {

template <typename Policy>
class unique_any {
  public:
    using pointer = typename Policy::pointer;

    unique_any() = default;
    explicit unique_any(pointer handle) : handle_(handle) {}
    unique_any(const unique_any&) = delete;
    unique_any& operator=(const unique_any&) = delete;
    unique_any(unique_any&& other) noexcept : handle_(other.release()) {}
    unique_any& operator=(unique_any&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    ~unique_any() { reset(); }

    pointer get() const { return handle_; }
    explicit operator bool() const { return Policy::is_valid(handle_); }

    // For out-parameters: releases the current handle and hands out the slot.
    pointer* put() {
        reset();
        return &handle_;
    }

    [[nodiscard]] pointer release() { return std::exchange(handle_, Policy::invalid()); }

    // Closes the old handle, if any, keeping the thread's last error: a caller may take a handle
    // and read GetLastError after a failed call that came before.
    void reset(pointer handle = Policy::invalid()) {
        pointer old = std::exchange(handle_, handle);
        if (Policy::is_valid(old)) {
            const DWORD last_error = ::GetLastError();
            Policy::close(old);
            ::SetLastError(last_error);
        }
    }

  private:
    pointer handle_ = Policy::invalid();
};

// A policy whose one "none" value is `Invalid` (given as an integer: pointers cannot be template
// arguments of this kind).
template <typename Pointer, void (*Close)(Pointer), std::intptr_t Invalid>
struct single_invalid_policy {
    using pointer = Pointer;
    static pointer invalid() {
        if constexpr (std::is_pointer_v<Pointer>) {
            return reinterpret_cast<pointer>(Invalid);
        } else {
            return static_cast<pointer>(Invalid);
        }
    }
    static bool is_valid(pointer handle) { return handle != invalid(); }
    static void close(pointer handle) { Close(handle); }
};

namespace detail {
inline void close_handle(HANDLE handle) {
    ::CloseHandle(handle);
}
inline void close_service(SC_HANDLE handle) {
    ::CloseServiceHandle(handle);
}
inline void close_key(HKEY key) {
    ::RegCloseKey(key);
}
inline void close_socket(SOCKET socket) {
    ::closesocket(socket);
}
inline void local_free(wchar_t* text) {
    ::LocalFree(text);
}
inline void local_free_descriptor(PSECURITY_DESCRIPTOR descriptor) {
    ::LocalFree(descriptor);
}
}  // namespace detail

// Kernel handles (processes, threads, tokens, jobs, pipes, files): both null and
// INVALID_HANDLE_VALUE mean "none", since the functions that make them differ in which one they
// return on failure.
struct handle_policy {
    using pointer = HANDLE;
    static pointer invalid() { return nullptr; }
    static bool is_valid(pointer handle) {
        return handle != nullptr && handle != INVALID_HANDLE_VALUE;
    }
    static void close(pointer handle) { detail::close_handle(handle); }
};

using unique_handle = unique_any<handle_policy>;
// CreateFileW's handles: the same owner, named for the reader who expects INVALID_HANDLE_VALUE.
using unique_file = unique_handle;
using unique_service =
    unique_any<single_invalid_policy<SC_HANDLE, detail::close_service, std::intptr_t{0}>>;
using unique_key = unique_any<single_invalid_policy<HKEY, detail::close_key, std::intptr_t{0}>>;
using unique_local_text =
    unique_any<single_invalid_policy<wchar_t*, detail::local_free, std::intptr_t{0}>>;
// A security descriptor that the system allocated with LocalAlloc.
using unique_security_descriptor = unique_any<
    single_invalid_policy<PSECURITY_DESCRIPTOR, detail::local_free_descriptor, std::intptr_t{0}>>;
using unique_socket = unique_any<single_invalid_policy<SOCKET, detail::close_socket,
                                                       static_cast<std::intptr_t>(INVALID_SOCKET)>>;

}  // namespace drovane::win
