// The error value every stage yields: a category that is never shown and the text that is.
#pragma once

#include <expected>
#include <string>

namespace common {

// Only what a caller decides on has a kind of its own; every other failure is kOther. What is
// shown is the text alone.
enum class ErrorKind {
  kOther,
  kAlreadyExists,  // EEXIST: another user's name appeared where a file was to be created
  kInterrupted,    // SIGINT, SIGTERM or SIGHUP arrived: the run is being abandoned
  kDirectory,      // a file was looked for and a directory found: a log selection skips it
  kRefused,        // refused by the run's own rules on whose rights apply, not by the system
};

class Error {
 public:
  explicit Error(std::string text, ErrorKind kind = ErrorKind::kOther, int errnum = 0)
      : kind_(kind), errnum_(errnum), text_(std::move(text)) {}

  // An operating-system error: strerror's description, " (os error N)". `kind` gives it a kind
  // of its own, such as a refusal by the run's rules in the words a refused call has.
  static Error from_errno(int errnum);
  static Error from_errno(int errnum, ErrorKind kind);

  ErrorKind kind() const { return kind_; }
  // The operating-system error number it reports, 0 for none: callers decide on it and on the
  // kind, never on the text.
  int errnum() const { return errnum_; }
  const std::string& text() const { return text_; }

 private:
  ErrorKind kind_;
  int errnum_;
  std::string text_;
};

template <typename T = void>
using Result = std::expected<T, Error>;

// Shorthand for the failing branch of a Result: `return os_error(errno);`.
inline std::unexpected<Error> os_error(int errnum) {
  return std::unexpected(Error::from_errno(errnum));
}
inline std::unexpected<Error> fail(std::string text, ErrorKind kind = ErrorKind::kOther) {
  return std::unexpected(Error(std::move(text), kind));
}
// A refusal by the run's own rules (access/access.h), in its own words.
inline std::unexpected<Error> refuse(std::string text) {
  return fail(std::move(text), ErrorKind::kRefused);
}

// The text a file read as UTF-8 fails with.
inline constexpr const char* kInvalidUtf8Stream = "stream did not contain valid UTF-8";

}  // namespace common
