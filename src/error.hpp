// Failures as values: an error chain, outermost context phrase first, down to the root.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace drovane {

class Error {
  public:
    // A failure of the Helper's own making, carrying only its message.
    explicit Error(std::string message) : message_(std::move(message)) {}

    // An operating-system error: the system's text for the code, then " (os error N)".
    static Error os(std::uint32_t code);

    // The Service Control Manager layer's error: "IO error in winapi call" over the OS error.
    static Error winapi(std::uint32_t code);

    // Wraps this error as the cause of a new outermost phrase.
    [[nodiscard]] Error context(std::string phrase) const&;
    [[nodiscard]] Error context(std::string phrase) &&;

    const std::string& message() const { return message_; }
    const Error* cause() const { return cause_.get(); }

    // The system error code of the nearest OS error in the chain, if any.
    std::optional<std::uint32_t> os_code() const;

    // Every message of the chain, outermost first.
    std::vector<std::string> chain() const;

    // The chain on one line, messages joined by ": ". A leaf renders as its message alone.
    std::string text() const;

  private:
    std::string message_;
    std::optional<std::uint32_t> os_code_;
    std::shared_ptr<const Error> cause_;
};

// The system's message for an OS error code, without trailing line breaks.
std::string system_message(std::uint32_t code);

// The error report of the command-line entry: "Error: " and the outermost message, then the
// causes under "Caused by:", one indented four spaces or several numbered in a five-character
// field, multi-line causes continued at the same column; ends with a newline.
std::string render_error_report(const Error& error);

// A value or an error. Small on purpose: just what the Helper's interfaces need.
template <typename T>
class [[nodiscard]] Result {
  public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    const Error& error() const& { return std::get<1>(state_); }
    Error&& error() && { return std::get<1>(std::move(state_)); }

  private:
    std::variant<T, Error> state_;
};

template <>
class [[nodiscard]] Result<void> {
  public:
    Result() = default;
    Result(Error error) : error_(std::move(error)) {}

    bool ok() const { return !error_.has_value(); }
    explicit operator bool() const { return ok(); }

    const Error& error() const& { return *error_; }
    Error&& error() && { return std::move(*error_); }

  private:
    std::optional<Error> error_;
};

using Status = Result<void>;

}  // namespace drovane

// Returns from the enclosing function with the error of `result` (a Result or a Status, named or
// made here) when it failed; for the many places where a failure only passes up, in the manner
// of WIL's RETURN_IF_FAILED. Not for coroutines, which return with co_return.
#define DROVANE_RETURN_IF_ERROR(result)                              \
    do {                                                             \
        if (auto&& drovane_checked_ = (result); !drovane_checked_) { \
            return std::move(drovane_checked_).error();              \
        }                                                            \
    } while (false)

// The same, with `phrase` added as the outermost context of the error passed up: the one line
// for a step that names what failed ("bind helper server") over the failure of a call inside it.
#define DROVANE_RETURN_IF_ERROR_MSG(result, phrase)                     \
    do {                                                                \
        if (auto&& drovane_checked_ = (result); !drovane_checked_) {    \
            return std::move(drovane_checked_).error().context(phrase); \
        }                                                               \
    } while (false)

// The forms for coroutines, which return with co_return.
#define DROVANE_CO_RETURN_IF_ERROR(result)                           \
    do {                                                             \
        if (auto&& drovane_checked_ = (result); !drovane_checked_) { \
            co_return std::move(drovane_checked_).error();           \
        }                                                            \
    } while (false)

#define DROVANE_CO_RETURN_IF_ERROR_MSG(result, phrase)                     \
    do {                                                                   \
        if (auto&& drovane_checked_ = (result); !drovane_checked_) {       \
            co_return std::move(drovane_checked_).error().context(phrase); \
        }                                                                  \
    } while (false)
