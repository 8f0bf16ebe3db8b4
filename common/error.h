// The error value every stage yields: a category that is never shown and the text that is.
#pragma once

#include <expected>
#include <string>

namespace common {

enum class ErrorKind {
  kNotFound,
  kPermissionDenied,
  kAlreadyExists,
  kInvalidInput,
  kInvalidData,
  kTimedOut,
  kInterrupted,  // SIGINT, SIGTERM or SIGHUP arrived: the run is being abandoned
  kOther,
};

class Error {
 public:
  Error(ErrorKind kind, std::string text) : kind_(kind), text_(std::move(text)) {}

  // An operating-system error: strerror's description, " (os error N)".
  static Error from_errno(int errnum);

  ErrorKind kind() const { return kind_; }
  const std::string& text() const { return text_; }

 private:
  ErrorKind kind_;
  std::string text_;
};

template <typename T = void>
using Result = std::expected<T, Error>;

// Shorthand for the failing branch of a Result: `return os_error(errno);`.
inline std::unexpected<Error> os_error(int errnum) {
  return std::unexpected(Error::from_errno(errnum));
}
inline std::unexpected<Error> fail(ErrorKind kind, std::string text) {
  return std::unexpected(Error(kind, std::move(text)));
}

std::string os_error_text(int errnum);

// The text a file read as UTF-8 fails with.
inline constexpr const char* kInvalidUtf8Stream = "stream did not contain valid UTF-8";

}  // namespace common
