// Every name the Helper shares with Windows and with the tools around it, in one place: the
// service, the registry key it publishes its port under, the Helper's and the Core's file names,
// the Core's pipe prefix, the protocol and logs headers, and the recovery setting that install
// registers and doctor checks.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace drovane {

// An ASCII name fixed at compile time, readable as UTF-8 and as a NUL-terminated UTF-16 text,
// and joinable to longer names, so that each name is written once.
template <std::size_t N>
struct Name {
    std::array<char, N + 1> text{};

    constexpr Name() = default;
    constexpr Name(const char (&literal)[N + 1]) { std::copy_n(literal, N + 1, text.begin()); }

    constexpr std::string_view view() const { return {text.data(), N}; }
    constexpr operator std::string_view() const { return view(); }

    // The same characters as UTF-16 (each one is ASCII), NUL-terminated.
    constexpr std::array<wchar_t, N + 1> wide() const {
        std::array<wchar_t, N + 1> out{};
        for (std::size_t i = 0; i < N; ++i) {
            out[i] = static_cast<wchar_t>(text[i]);
        }
        return out;
    }
};

template <std::size_t N>
Name(const char (&)[N]) -> Name<N - 1>;

template <std::size_t A, std::size_t B>
constexpr Name<A + B> operator+(const Name<A>& left, const Name<B>& right) {
    Name<A + B> joined;
    std::copy_n(left.text.begin(), A, joined.text.begin());
    std::copy_n(right.text.begin(), B + 1, joined.text.begin() + A);
    return joined;
}

namespace names {

// The service's name in the Service Control Manager, also its display name.
inline constexpr Name service{"DrovaneHelperService"};
inline constexpr auto service_wide = service.wide();

// The volatile key, under HKEY_LOCAL_MACHINE, whose Port value holds the published port.
inline constexpr Name runtime_key =
    Name{"SYSTEM\\CurrentControlSet\\Services\\"} + service + Name{"\\Runtime"};
inline constexpr auto runtime_key_wide = runtime_key.wide();
inline constexpr Name port_value{"Port"};
inline constexpr auto port_value_wide = port_value.wide();

// The Helper's executable, and the Core executable beside it.
inline constexpr Name helper_file{"DrovaneHelper.exe"};
inline constexpr auto helper_file_wide = helper_file.wide();
inline constexpr Name core_file{"DrovaneCore.exe"};
inline constexpr auto core_file_wide = core_file.wide();

// The named-pipe prefix of every Core address (\\.\pipe\DrovaneCore_), followed by a session's
// 32 lower-case hex characters.
inline constexpr Name core_pipe_prefix{"\\\\.\\pipe\\DrovaneCore_"};

// The reply header that carries the protocol version, and the version both ends speak.
inline constexpr Name protocol_header{"x-drovane-helper-protocol"};
inline constexpr Name protocol_version{"8"};

// The logs reply's headers: the sequence number the next Helper log line will get (on every
// logs reply), and how many lines after the request's cursor left the log unread (only when
// some did).
inline constexpr Name log_next_header{"x-drovane-helper-log-next"};
inline constexpr Name log_dropped_header{"x-drovane-helper-log-dropped"};

// The recovery setting: a restart after each of the first three failures, 5000 ms after it, the
// failure count reset after a day without one.
inline constexpr std::size_t recovery_restarts = 3;
inline constexpr std::uint32_t recovery_restart_delay_ms = 5000;
inline constexpr std::uint32_t recovery_reset_period_seconds = 86400;
// The same setting in words, as doctor reports it.
inline constexpr std::string_view recovery_summary =
    "three restarts 5 s apart, count reset after a day";

}  // namespace names
}  // namespace drovane
