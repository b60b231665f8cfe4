// One owner per kind of Windows handle, in the manner of WIL's unique_any: a move-only value that
// releases its handle with the kind's own close function on every path.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <windows.h>

#include <utility>

namespace drovane::win {

template <typename Handle, auto Close, auto Invalid>
class unique_any {
public:
    unique_any() = default;
    explicit unique_any(Handle handle) : handle_(handle) {}
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

    Handle get() const { return handle_; }
    explicit operator bool() const { return handle_ != invalid(); }

    // For out-parameters: releases the current handle and hands out the slot.
    Handle* put() {
        reset();
        return &handle_;
    }

    Handle release() { return std::exchange(handle_, invalid()); }

    void reset(Handle handle = invalid()) {
        Handle old = std::exchange(handle_, handle);
        if (old != invalid()) {
            Close(old);
        }
    }

private:
    static Handle invalid() { return reinterpret_cast<Handle>(Invalid); }
    Handle handle_ = invalid();
};

namespace detail {
inline void close_handle(HANDLE handle) { ::CloseHandle(handle); }
inline void close_service(SC_HANDLE handle) { ::CloseServiceHandle(handle); }
inline void close_key(HKEY key) { ::RegCloseKey(key); }
inline void close_socket(SOCKET socket) { ::closesocket(socket); }
inline void local_free(wchar_t* text) { ::LocalFree(text); }
}  // namespace detail

// Kernel objects whose "no handle" value is null: processes, threads, tokens, jobs, pipes.
using unique_handle = unique_any<HANDLE, detail::close_handle, std::intptr_t{0}>;
// CreateFileW's "no handle" is INVALID_HANDLE_VALUE.
using unique_file = unique_any<HANDLE, detail::close_handle, std::intptr_t{-1}>;
using unique_service = unique_any<SC_HANDLE, detail::close_service, std::intptr_t{0}>;
using unique_key = unique_any<HKEY, detail::close_key, std::intptr_t{0}>;
using unique_local_text = unique_any<wchar_t*, detail::local_free, std::intptr_t{0}>;

// SOCKET is an integer type, so it gets its own owner rather than a pointer cast.
class unique_socket {
public:
    unique_socket() = default;
    explicit unique_socket(SOCKET socket) : socket_(socket) {}
    unique_socket(const unique_socket&) = delete;
    unique_socket& operator=(const unique_socket&) = delete;
    unique_socket(unique_socket&& other) noexcept : socket_(other.release()) {}
    unique_socket& operator=(unique_socket&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    ~unique_socket() { reset(); }

    SOCKET get() const { return socket_; }
    explicit operator bool() const { return socket_ != INVALID_SOCKET; }
    SOCKET release() { return std::exchange(socket_, INVALID_SOCKET); }
    void reset(SOCKET socket = INVALID_SOCKET) {
        SOCKET old = std::exchange(socket_, socket);
        if (old != INVALID_SOCKET) {
            detail::close_socket(old);
        }
    }

private:
    SOCKET socket_ = INVALID_SOCKET;
};

}  // namespace drovane::win
